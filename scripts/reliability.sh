#!/usr/bin/env bash
# Reliability campaign: kill -9 at random moments, injected I/O errors and kill -9 at every
# file-system call of a write and a compaction, opening damaged files, and a watch on
# memory, open files and threads.
#
# Usage: scripts/reliability.sh [--full] [--fuzz-seconds N] [--out DIR]
#   (no flag)  the reduced tier, as run by the normal test run (tests/python/test_reliability_*)
#   --full     5,000 random kills, the fault sweep, 5,000 fuzz
#              inputs per mode, 1,000,000 calls per leak kind, valgrind, then
#              scripts/fuzz.sh for N seconds per target (--fuzz-seconds, default 3600)
# Figures go to DIR (default build/reliability) as JSON. The module must be importable:
# an installed package, or PYTHONPATH=build/dev after a build. Needs cc and valgrind.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${PYTHON:-python3}
full=0
fuzz_seconds=3600
out=build/reliability
while [ $# -gt 0 ]; do
  case "$1" in
    --full) full=1 ;;
    --fuzz-seconds) fuzz_seconds=$2; shift ;;
    --out) out=$2; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done
mkdir -p "$out"
out=$(cd "$out" && pwd)
# Every run starts here, so a relative module path holds; the helpers' children get it
# made absolute (workload.child_env).
tests=(tests/python/test_reliability_crash.py tests/python/test_reliability_faults.py
       tests/python/test_reliability_open_fuzz.py tests/python/test_reliability_leaks.py)
if [ "$full" = 0 ]; then
  exec "$python" -m pytest -q -rs "${tests[@]}"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
helpers=tests/reliability

echo "== kill -9: 5,000 iterations"
"$python" "$helpers/crash.py" "$work/crash" 5000 | tee "$out/crash.json"

echo "== injected I/O errors and kills at every call, leaks under valgrind, damaged files"
PVDB_FUZZ_EXAMPLES=5000 "$python" -m pytest -q -rs "${tests[@]:1}"

echo "== leaks, open files and threads: 1,000,000 calls of each kind"
"$python" "$helpers/leaks.py" "$work" 1000000 | tee "$out/leaks.jsonl"

echo "== fuzzing: ${fuzz_seconds}s per target"
bash scripts/fuzz.sh --seconds "$fuzz_seconds" --out "$out/fuzz" | tee "$out/fuzz.jsonl"
