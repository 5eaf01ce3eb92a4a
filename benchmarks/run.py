"""Runs the benchmark groups and prints one table of ratios, with the machine it ran on.

    python benchmarks/run.py [--repetitions N] [--groups calls,events,decode,sensor,recording,import,memory,stream,files,frames,view]
"""

import argparse
import os
import platform
import subprocess
import sys
import time

import numpy as np

# velmo_test_hooks, the benchmarks' own module, is built by the C++ test build and never installed.
sys.path.append(
    os.environ.get("VELMO_TEST_HOOKS") or os.path.join(os.path.dirname(__file__), "..", "build", "cpp", "tests", "hooks")
)

import calls  # noqa: E402
import decode  # noqa: E402
import events  # noqa: E402
import files  # noqa: E402
import frames  # noqa: E402
import memory  # noqa: E402
import recording  # noqa: E402
import sensor  # noqa: E402
import startup  # noqa: E402
import stream  # noqa: E402
import view  # noqa: E402
from harness import DEFAULT_REPETITIONS, format_table  # noqa: E402

GROUPS = {
    "calls": calls.rows,
    "events": events.rows,
    "decode": decode.rows,
    "sensor": sensor.rows,
    "recording": recording.rows,
    "import": startup.rows,
    "memory": memory.rows,
    "stream": stream.rows,
    "files": files.rows,
    "frames": frames.rows,
    "view": view.rows,
}


def cpu_model() -> str:
    try:
        described = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return platform.processor() or platform.machine()
    for line in described.splitlines():
        key, _, value = line.partition(":")
        if key.strip() == "Model name":
            return value.strip()
    return platform.machine()


def machine() -> str:
    return (
        f"{cpu_model()}, {os.cpu_count()} logical CPUs, {platform.machine()}, Linux {platform.release()}; "
        f"Python {platform.python_version()}, NumPy {np.__version__}; "
        f"load average {', '.join(f'{load:.2f}' for load in os.getloadavg())} at the start"
    )


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repetitions", type=int, default=DEFAULT_REPETITIONS, help="samples per figure")
    parser.add_argument("--groups", default=",".join(GROUPS), help="comma-separated subset of " + ", ".join(GROUPS))
    options = parser.parse_args(argv)
    chosen = [group.strip() for group in options.groups.split(",") if group.strip()]
    unknown = sorted(set(chosen) - set(GROUPS))
    if unknown:
        parser.error("unknown group(s): " + ", ".join(unknown))
    if options.repetitions < 1:
        parser.error("--repetitions must be at least 1")

    print("Machine:", machine(), flush=True)
    started = time.perf_counter()
    rows = []
    for group in chosen:
        group_started = time.perf_counter()
        rows.extend(GROUPS[group](options.repetitions))
        print(f"  {group}: {time.perf_counter() - group_started:.0f} s", file=sys.stderr, flush=True)
    print()
    print(format_table(rows))
    print()
    missed = [row for row in rows if row.verdict == "MISSED"]
    print(
        f"{len(rows)} figures, medians of {options.repetitions} paired repetitions, "
        f"{time.perf_counter() - started:.0f} s; {len(missed)} target(s) missed."
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
