#!/usr/bin/env bash
# Builds the package into .venv on a fresh machine and runs the quick-start example.
# Extra arguments go to the example, e.g. scripts/run_example.sh --records 5000
# PYTHON chooses the interpreter .venv is made from (python3 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/venv.sh

missing=$(build_needs | tr '\n' ' ')
if [ -n "$missing" ]; then
  echo "cannot build the package: install ${missing% } first, e.g. apt-get install ${missing% }" >&2
  exit 1
fi
venv_install "scikit-build-core>=0.10" cmake ninja numpy
venv_build
say "running examples/quickstart.py $*"
exec "$py" examples/quickstart.py "$@"
