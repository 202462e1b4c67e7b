#!/usr/bin/env bash
# Builds the package into .venv on a fresh machine and runs the quick-start example.
# Extra arguments go to the example, e.g. scripts/run_example.sh --records 5000
set -euo pipefail
cd "$(dirname "$0")/.."
venv="$(pwd)/.venv"
[ -x "$venv/bin/python" ] || "${PYTHON:-python3}" -m venv "$venv"
py="$venv/bin/python"
"$py" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" cmake ninja numpy
"$py" -m pip install -q --disable-pip-version-check --no-build-isolation -Cbuild-dir=build/wheel .
exec "$py" examples/quickstart.py "$@"
