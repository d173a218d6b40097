"""Stand-in for the tavrix package: only the exceptions and types the core uses."""

__version__ = "0.0.0"
