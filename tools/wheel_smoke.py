"""Smoke run of an installed private_core, as a user gets it from a wheel or the sdist.

Run with the interpreter of a fresh environment that holds the package, the stand-ins
and the sandbox backend (tools/wheels.sh sets one up per artefact):

    python tools/wheel_smoke.py [--no-compiler] [--offline]

It imports every extension module from the installed package (never from the source
tree), runs native code without the network (a cache entry kept and read, symbols
normalised, a small frame resampled), starts the sandbox on 127.0.0.1, checks the API
key, fetches one batch of daily bars and one investor-flow frame, and prints the
installed size of each module. With --no-compiler it first checks that no C or C++
compiler is on PATH, so that a wheel is shown to install and run without one.
--offline leaves out the sandbox (a foreign architecture's wheel, run under emulation
with the package's dependencies and the stand-ins on PYTHONPATH). Exits non-zero with
one line on failure.
"""

from __future__ import annotations

import argparse
import importlib
import importlib.machinery
import importlib.util
import platform
import shutil
import sys
import sysconfig
from pathlib import Path

MODULES = [
    "transport_base", "keygate", "memo_store", "memo_rules", "memo_layer", "daily_bars",
    "tick_feed", "statements_base", "basket_base", "investor.InvestorFlowContract",
    "investor.flow_engine",
]
COMPILERS = ["cc", "c++", "gcc", "g++", "clang", "clang++"]
# A fixed past fortnight of trading days, as in the end-to-end tests.
START, END = "2026-11-02", "2026-11-13"


class SmokeError(Exception):
    pass


def check(condition: bool, message: str) -> None:
    if not condition:
        raise SmokeError(message)


def import_modules(site: Path) -> dict[str, Path]:
    """Every extension module, each a compiled file of the installed package."""
    files = {}
    for name in MODULES:
        module = importlib.import_module(f"private_core.{name}")
        path = Path(module.__file__ or "").resolve()
        check(isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader),
              f"private_core.{name} is not an extension module ({path})")
        check(site in path.parents, f"private_core.{name} comes from {path}, not from {site}")
        files[name] = path
    return files


def run_native_code() -> str:
    from datetime import timedelta

    import pandas as pd

    from private_core import _frames, daily_bars, memo_store

    cache = memo_store._Cache()
    frame = pd.DataFrame({"close": [1.5]})
    entry = cache.set("daily", ("ALP", START), frame, ttl=timedelta(minutes=5))
    kept = cache.get("daily", ("ALP", START))
    check(kept is entry and kept.data is frame and not kept.is_expired(),
          "a cache entry set was not read back unexpired")
    symbols = daily_bars._normalize_symbols([" alp", "Sol "])
    check(symbols == ["ALP", "SOL"], f"symbols normalised to {symbols}")
    # Ten one-minute bars for each of two symbols, to five-minute bars in one native pass.
    times = list(pd.date_range(f"{START} 09:00", periods=10, freq="1min")) * 2
    prices = [float(i) for i in range(20)]
    bars = pd.DataFrame({"symbol": ["ALP"] * 10 + ["SOL"] * 10, "time": times, "open": prices,
                         "high": [p + 1 for p in prices], "low": [p - 1 for p in prices],
                         "close": [p + 0.5 for p in prices], "volume": list(range(20))})
    out = _frames.resample_ohlcv(bars, "time", bars["time"], "5m")
    check(out is not None, "the native resampler declined a plain frame")
    want = {"open": [0.0, 5.0, 10.0, 15.0], "high": [5.0, 10.0, 15.0, 20.0],
            "low": [-1.0, 4.0, 9.0, 14.0], "close": [4.5, 9.5, 14.5, 19.5],
            "volume": [10, 35, 60, 85]}
    got = {column: out[column].tolist() for column in want}
    check(got == want and out["symbol"].tolist() == ["ALP", "ALP", "SOL", "SOL"],
          f"resampled to {got}")
    return "cache entry kept and read, symbols normalised, 20 bars resampled to 4"


def run_against_sandbox() -> str:
    from tavrix_sandbox.testing import start_sandbox

    from private_core import daily_bars, keygate
    from private_core.investor.flow_engine import InvestorFlowEngine
    from private_core.transport_base import HttpSession

    sandbox = start_sandbox()
    try:
        with HttpSession("demo-key", base_url=sandbox.base_url, version="0.1.0") as session:
            answer = keygate.validate_api_key(session, client_version="0.1.0")
            check(answer.valid, f"the sandbox refused the demo key: {answer.message}")
            bars = daily_bars.fetch_ohlcv(session, ["ALP", "SOL"], START, END,
                                          show_progress=False)
            check(sorted(set(bars["symbol"])) == ["ALP", "SOL"] and len(bars) == 20,
                  f"expected 10 daily bars for each of ALP and SOL, got {len(bars)} rows")
            flows = InvestorFlowEngine(session).fetch_df(
                "stock", "flow",
                {"ids": ["SOL", "TAV"], "group": "foreign", "start": START, "end": END,
                 "interval": "1W"})
            check(len(flows) == 4, f"expected 2 weeks of flows for 2 stocks, got {len(flows)} rows")
        requests_made = sandbox.requests_made()
    finally:
        sandbox.stop()
    return f"key valid, {len(bars)} daily bars, {len(flows)} weekly flow rows, " \
           f"{requests_made} requests"


def installed_sizes(package: Path, files: dict[str, Path]) -> tuple[int, list[tuple[str, int]]]:
    """The package's installed size (bytecode caches left out) and each binary's."""
    total = sum(p.stat().st_size for p in package.rglob("*")
                if p.is_file() and "__pycache__" not in p.parts)
    rows = [(name, files[name].stat().st_size) for name in MODULES]
    rows += [(p.relative_to(package).as_posix(), p.stat().st_size)
             for p in sorted(package.rglob("*.so")) if p not in files.values()]
    return total, rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--no-compiler", action="store_true",
                        help="fail if a C or C++ compiler is on PATH")
    parser.add_argument("--offline", action="store_true",
                        help="leave out the run against the sandbox")
    args = parser.parse_args(argv)
    label = f"Python {platform.python_version()}"
    try:
        if args.no_compiler:
            found = [f"{name} ({shutil.which(name)})" for name in COMPILERS if shutil.which(name)]
            check(not found, f"a compiler is on PATH: {', '.join(found)}")
        site = Path(sysconfig.get_paths()["platlib"]).resolve()
        if args.offline:  # installed into a folder of its own, on PYTHONPATH
            site = Path(importlib.util.find_spec("private_core").origin).resolve().parents[1]
        files = import_modules(site)
        summary = run_native_code()
        if not args.offline:
            summary += "; " + run_against_sandbox()
        total, rows = installed_sizes(site / "private_core", files)
    except Exception as exc:  # one line, whatever failed
        print(f"smoke ({label}): FAILED: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    width = max(len(name) for name, _ in rows)
    for name, size in rows:
        print(f"  {name:<{width}}  {size / 1000:7.1f} kB")
    print(f"  {'installed package':<{width}}  {total / 1000:7.1f} kB")
    compiler = ", no compiler on PATH" if args.no_compiler else ""
    label += f", {platform.machine()}"
    print(f"smoke ({label}{compiler}): ok: {len(MODULES)} modules imported; {summary}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
