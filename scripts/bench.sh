#!/usr/bin/env bash
# Prints the table of what the binding layer costs against its floors, each measured in the
# same run (benchmarks/run.py; arguments are passed on, e.g. --groups calls,events). Ratios
# carry from machine to machine, but other work on the machine widens their spread: run it
# on an otherwise idle one.
set -euo pipefail
cd "$(dirname "$0")/.."

PY=${PYTHON:-.venv/bin/python}
if [[ ! -x $PY ]]; then
    echo "bench: $PY not found; run 'make bench', which sets up .venv and installs the package" >&2
    exit 1
fi

# NumPy's OpenBLAS starts a thread per core that spins for a while after every import; on a
# small machine it takes a core from the measurement. No figure here uses BLAS.
export OPENBLAS_NUM_THREADS=1

busy=$(pgrep -c -f 'ninja|cc1plus|pytest' || true)
if [[ $busy != 0 ]]; then
    echo "bench: note: $busy build or test process(es) running; the figures will spread more" >&2
fi

exec "$PY" benchmarks/run.py "$@"
