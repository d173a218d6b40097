"""Plain-Python models of the core's behaviour: what the tests compare the modules
with, and what bench/ times beside them."""
