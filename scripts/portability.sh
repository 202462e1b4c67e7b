#!/usr/bin/env bash
# Builds and tests, on a Linux x86-64 machine, the code that other systems and processors run:
#  1. every POSIX fallback and the scalar kernels forced on (build/posix): no Linux-only call
#     or processor query left in the libraries, the C++ tests, and the Python tests against
#     that module, with the reliability files cut to the fault sweeps that do not expect the
#     Linux calls themselves;
#  2. a cross build for 64-bit ARM Linux (build/aarch64, NEON kernels): the C++ tests under
#     qemu-aarch64.
# Usage: scripts/portability.sh      (from anywhere; exits non-zero on any failure)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-2}

need_apt=()
[ -f /usr/include/gtest/gtest.h ] || need_apt+=(libgtest-dev)
[ -f /usr/src/googletest/CMakeLists.txt ] || need_apt+=(googletest)
command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || need_apt+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64 >/dev/null 2>&1 || need_apt+=(qemu-user)
if [ ${#need_apt[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_apt[@]}" >/dev/null
  else
    echo "missing system packages: ${need_apt[*]} (install them, e.g. apt-get install ${need_apt[*]})" >&2
    exit 1
  fi
fi

. scripts/venv.sh
venv_usable || venv_install "scikit-build-core>=0.10" cmake ninja pytest hypothesis numpy mypy
export PATH="$venv/bin:$PATH"

echo "== POSIX fallbacks and scalar kernels (build/posix)"
cmake -S . -B build/posix -G Ninja -DCMAKE_BUILD_TYPE=Release -DPVDB_BUILD_TESTS=ON \
  -DPVDB_BUILD_PYTHON=ON -DPVDB_POSIX_FALLBACKS=ON -DPVDB_PORTABLE_KERNELS=ON \
  -DPython_EXECUTABLE="$py" -Wno-deprecated >/dev/null
cmake --build build/posix -j "$jobs"
linux_only=$(nm build/posix/libpvdb_base.a build/posix/libpvdb_index.a build/posix/libpvdb_core.a | awk '$1 == "U" {print $2}' |
  grep -E '^(linkat|sync_file_range|getrandom|madvise|sched_getaffinity|__cpu_model|__cpu_indicator_init)$' |
  sort -u || true)
if [ -n "$linux_only" ]; then
  echo "the fallback build still calls: $linux_only" >&2
  exit 1
fi
ctest --test-dir build/posix --output-on-failure -j "$jobs"
# The build folder's module, not an installed one, is the one under test.
PYTHONPATH=build/posix "$py" -c "
import pelmor_vector_db, os, sys
sys.exit(os.path.dirname(pelmor_vector_db.__file__) != os.path.abspath('build/posix'))"
# The shard layer is pure Python over the module, so it has nothing of its own to check here.
PYTHONPATH=build/posix "$py" -m pytest tests/python -q -p no:cacheprovider \
  --ignore-glob='tests/python/test_reliability_*' --ignore-glob='tests/python/test_sharded_*' \
  --deselect 'tests/python/test_example.py::test_typed_callers_pass_strict_mypy[shards]'
PYTHONPATH=build/posix "$py" -m pytest tests/python/test_reliability_faults.py -q \
  -p no:cacheprovider -k "(named or upsert or delete or batch) and not (kill_batch or kill_compact)"

echo "== POSIX fallbacks done after ${SECONDS}s"

echo "== aarch64 cross build under qemu (build/aarch64)"
cmake -S . -B build/aarch64 -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DPVDB_BUILD_TESTS=ON \
  -DPVDB_BUILD_PYTHON=OFF -DPVDB_GTEST_SOURCE=/usr/src/googletest -Wno-deprecated >/dev/null
cmake --build build/aarch64 -j "$jobs"
ctest --test-dir build/aarch64 --output-on-failure -j "$jobs"
echo "== aarch64 done after ${SECONDS}s"
