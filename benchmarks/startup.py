"""Import time of the three modules against `import numpy`, each in fresh interpreters."""

import statistics

from harness import Row, median_ratio, run_python

MODULES = ("velmo_hal_py", "velmo_base_py", "velmo.sim")
FLOOR_MODULE = "numpy"

# Times the imports alone: the interpreter's own start-up is the same for every case. What
# `already` names is imported before the clock starts.
TIMED_IMPORT = """
import time
{already}
start = time.perf_counter()
import {modules}
print(time.perf_counter() - start)
"""

CASES = {
    FLOOR_MODULE: ("", FLOOR_MODULE),
    **{module: ("", module) for module in MODULES},
    "all three, NumPy already imported": (f"import {FLOOR_MODULE}", ", ".join(MODULES)),
}


def import_seconds(already: str, modules: str) -> float:
    return float(run_python(TIMED_IMPORT.format(already=already, modules=modules)))


def rows(repetitions: int) -> list[Row]:
    measured = {case: [] for case in CASES}
    # Alternated, so that a change in load touches every case alike.
    for _ in range(repetitions):
        for case, (already, modules) in CASES.items():
            measured[case].append(import_seconds(already, modules))
    floor_samples = measured.pop(FLOOR_MODULE)
    return [
        Row(
            "import",
            case if case not in MODULES else f"import {case}",
            statistics.median(samples),
            statistics.median(floor_samples),
            "import",
            median_ratio(samples, floor_samples),
            None,
            f"import {FLOOR_MODULE}",
        )
        for case, samples in measured.items()
    ]
