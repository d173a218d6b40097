"""Investor-flow engine of the native core."""
