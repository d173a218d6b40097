"""The runtime's wording for arguments, modelled."""
from typing import Any


def wrong_type(name: str, value: Any, expected: str) -> str:
    """The runtime's message for an argument of the wrong type: the type as the
    interpreter names it (a C type with its module, a class by its own name)."""
    kind = type(value)
    shown = kind.__name__ if kind.__module__ == "builtins" or kind.__flags__ & (1 << 9) \
        else f"{kind.__module__}.{kind.__qualname__}"
    return f"Argument '{name}' has incorrect type (expected {expected}, got {shown})"
