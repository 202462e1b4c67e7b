#!/usr/bin/env bash
# Runs every test, Python and C++, setting up whatever they need on a fresh machine.
# Usage: scripts/run_tests.sh            (from anywhere; exits non-zero on any failure)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# System packages for the C++ tests.
need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v g++ >/dev/null 2>&1 || need_apt+=(g++)
command -v clang-format >/dev/null 2>&1 || need_apt+=(clang-format)
command -v strace >/dev/null 2>&1 || need_apt+=(strace)
command -v valgrind >/dev/null 2>&1 || need_apt+=(valgrind)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  else
    echo "missing system packages: ${need_apt[*]} (install them, e.g. apt-get install ${need_apt[*]})" >&2
    exit 1
  fi
fi

# Formatting of our C++ sources.
clang-format --dry-run -Werror src/*/*.h src/*/*.cc tests/cpp/*/*.cc tests/fuzz/*.cc tests/fuzz/*.h \
  bench/*.cc
echo "clang-format: sources are formatted"

# A virtual environment with the test tools and the package itself.
python=${PYTHON:-python3}
venv="$root/.venv"
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
py="$venv/bin/python"
export PATH="$venv/bin:$PATH"
"$py" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
"$py" -m pip install -q --disable-pip-version-check \
  "scikit-build-core>=0.10" cmake ninja pytest hypothesis numpy mypy tqdm ray
"$py" -m pip install -q --disable-pip-version-check --no-build-isolation \
  -Cbuild-dir=build/wheel .

# C++ unit tests.
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DPVDB_BUILD_TESTS=ON \
  -DPVDB_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure -j "$(nproc)"

# Fuzzing, 45 seconds per target (clang; scripts/fuzz.sh installs what it needs).
bash scripts/fuzz.sh --seconds 45

# Python tests, against the installed package (run outside the source tree's build output).
"$py" -m pytest tests/python -q
