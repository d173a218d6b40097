"""Local stand-in for the Tavrix REST backend, with deterministic synthetic data.

For tests and the demo only; never shipped with the core. Start it with
`tavrix-sandbox` (or `python -m tavrix_sandbox`), or from Python with
`tavrix_sandbox.testing.running_sandbox()`.
"""

from .app import BASE_PATH, DEMO_KEY

__all__ = ["BASE_PATH", "DEMO_KEY"]
