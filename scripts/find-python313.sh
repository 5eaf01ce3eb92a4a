#!/usr/bin/env bash
# Prints the path of a working CPython 3.13: python3.13 on PATH, pyenv's 3.13, or Debian's
# python3.13 (installed with its headers and venv module when nothing else is found).
set -euo pipefail

works() { "$1" -c 'import sys, venv, sysconfig; assert sys.version_info[:2] == (3, 13); import os; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' >/dev/null 2>&1; }

candidates=(python3.13)
for found in "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
  [ -x "$found" ] && candidates+=("$found")
done
for candidate in "${candidates[@]}"; do
  if works "$candidate"; then
    command -v "$candidate"
    exit 0
  fi
done

echo "No CPython 3.13 found; installing Debian's python3.13-dev and python3.13-venv" >&2
apt-get update -qq >&2
apt-get install -y -qq python3.13-dev python3.13-venv >&2
works /usr/bin/python3.13 && echo /usr/bin/python3.13
