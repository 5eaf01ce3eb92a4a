#!/usr/bin/env bash
# Copies into the folder DEST what the Python tests of an installed wheel need: the tests, the
# files they read and pytest's configuration, and nothing importable of the repository's own.
set -euo pipefail
cd "$(dirname "$0")/.."

project=$1
mkdir -p "$project/tests" "$project/scripts"
cp -r tests/python tests/typing "$project/tests/"
cp -r examples docs src "$project/"
cp scripts/gen-api-docs.py "$project/scripts/"
cp pyproject.toml README.md "$project/"
find "$project" -name __pycache__ -prune -exec rm -rf {} +
