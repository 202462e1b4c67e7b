#!/usr/bin/env bash
# Runs every test, Python and C++, setting up whatever they need on a fresh machine.
# Usage: scripts/run_tests.sh            (from anywhere; exits non-zero on any failure)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/venv.sh

# The libFuzzer runtime that scripts/fuzz.sh links against, which Debian keeps apart from
# clang (as a package clang recommends). Prints nothing when it is there or clang is not.
fuzzer_runtime_package() {
  command -v clang++ >/dev/null 2>&1 || return 0
  [ -f "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-$(uname -m).a" ] ||
    echo "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
}

# Every system package that any later step needs, checked before the first slow one: the
# package and the C++ tests (g++, GoogleTest), formatting, the fuzzers (clang and its
# libFuzzer runtime) and the reliability tests (valgrind).
say "checking the system packages the tests need"
read -r -a need_apt <<<"$(build_needs | tr '\n' ' ')"
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
command -v clang-format >/dev/null 2>&1 || need_apt+=(clang-format)
command -v clang++ >/dev/null 2>&1 || need_apt+=(clang)
runtime=$(fuzzer_runtime_package)
[ -z "$runtime" ] || need_apt+=("$runtime")
command -v valgrind >/dev/null 2>&1 || need_apt+=(valgrind)
# The portability run: GoogleTest's sources, the aarch64 cross compiler and qemu.
[ -f /usr/src/googletest/CMakeLists.txt ] || need_apt+=(googletest)
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || need_apt+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null 2>&1 || need_apt+=(qemu-user)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "missing system packages; install them with: sudo apt-get install ${need_apt[*]}" >&2
    exit 1
  fi
  say "installing through apt-get: ${need_apt[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  # Where apt-get leaves out recommended packages, clang came without its runtime.
  runtime=$(fuzzer_runtime_package)
  [ -z "$runtime" ] || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$runtime" >/dev/null
fi

# Formatting of our C++ sources.
clang-format --dry-run -Werror src/*/*.h src/*/*.cc tests/cpp/*/*.cc tests/fuzz/*.cc tests/fuzz/*.h \
  bench/*.cc
echo "clang-format: sources are formatted"

# A virtual environment with the test tools and the package itself.
export PATH="$venv/bin:$PATH"
venv_install "scikit-build-core>=0.10" cmake ninja pytest hypothesis numpy mypy tqdm ray
venv_build

# C++ unit tests.
say "building and running the C++ tests in build/tests"
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release -DPVDB_BUILD_TESTS=ON \
  -DPVDB_BUILD_PYTHON=OFF >/dev/null
cmake --build build/tests -j "$(nproc)"
ctest --test-dir build/tests --output-on-failure -j "$(nproc)"

# The POSIX fallbacks and the aarch64 build, which other systems and processors run.
bash scripts/portability.sh

# Fuzzing, 45 seconds per target.
bash scripts/fuzz.sh --seconds 45

# Python tests, against the installed package (run outside the source tree's build output).
say "running the Python tests"
"$py" -m pytest tests/python -q
