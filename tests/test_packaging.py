"""Every extension module loads the one shared runtime. (The wheels themselves are built,
installed without a compiler and smoke-run by tools/wheels.sh.)"""
import importlib
import inspect
import subprocess
import sys

from entry_cases import MODULES


def test_one_runtime_serves_every_module():
    modules = [importlib.import_module(f"private_core.{name}") for name in MODULES]
    # A module linked with a runtime of its own would make functions of a type of its own
    # (and carry the runtime's size once more).
    function_types = {}
    for module in modules:
        values = list(vars(module).values())
        values += [v for cls in values if inspect.isclass(cls) and cls.__module__ == module.__name__
                   for v in vars(cls).values()]
        for value in values:
            kind = type(value)
            if (kind.__module__, kind.__qualname__) == ("private_core", "function"):
                function_types.setdefault(kind, set()).add(module.__name__)
    assert len(function_types) == 1, function_types
    reserved = {"private_core.statements_base", "private_core.basket_base"}  # no functions yet
    assert next(iter(function_types.values())) == {m.__name__ for m in modules} - reserved
    with open("/proc/self/maps") as maps:
        runtime = {line.split()[-1] for line in maps if "libprivate_core_runtime" in line}
    assert len(runtime) == 1, runtime


def test_a_missing_dependency_fails_the_import_cleanly():
    # A module body that cannot import what it names leaves the interpreter's ImportError, as a Python
    # module's would, and the module is not left half made in sys.modules.
    code = ("import sys; sys.modules['tavrix.exceptions'] = None\n"
            "try:\n    import private_core.daily_bars\nexcept ImportError as exc:\n"
            "    print(type(exc).__name__, 'private_core.daily_bars' in sys.modules)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout.strip()) == (0, "ModuleNotFoundError False"), result.stderr
