#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz/*_fuzz.cc) with clang and runs each of them.
#
# Usage: scripts/fuzz.sh [--seconds N] [--jobs J] [--out DIR]
#   --seconds N  fuzzing time per target (default 60)
#   --jobs J     targets fuzzed at the same time (default 2)
#   --out DIR    logs and found inputs (default build/fuzz/logs)
# Each target first runs the generated million-level inputs once, then fuzzes from its
# own working corpus under build/fuzz/corpus/, which keeps what earlier runs found.
# Prints one JSON line per target; exits non-zero if any target found anything or failed.
set -euo pipefail
seconds=60
jobs=2
out=
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    --out) out=$2; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done
root=$(cd "$(dirname "$0")/.." && pwd)
# DIR is taken from where the script was called, everything else from the repository.
[ -n "$out" ] || out=$root/build/fuzz/logs
mkdir -p "$out"
out=$(cd "$out" && pwd)
cd "$root"
build=$root/build/fuzz

# clang and the libFuzzer runtime of its own version.
fuzzer_runtime() {
  command -v clang++ >/dev/null 2>&1 &&
    [ -f "$(clang++ -print-runtime-dir)/libclang_rt.fuzzer-$(uname -m).a" ]
}
if ! fuzzer_runtime || ! command -v cmake >/dev/null 2>&1 || ! command -v ninja >/dev/null 2>&1 ||
  ! command -v python3 >/dev/null 2>&1; then
  need=()
  command -v clang++ >/dev/null 2>&1 || need+=(clang)
  command -v cmake >/dev/null 2>&1 || need+=(cmake)
  command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
  command -v python3 >/dev/null 2>&1 || need+=(python3)
  if [ "$(id -u)" != 0 ]; then
    echo "missing: ${need[*]:-} and the libFuzzer runtime (libclang-rt-<clang major>-dev);" \
      "install them, e.g. apt-get install clang libclang-rt-14-dev cmake ninja-build" >&2
    exit 1
  fi
  apt-get update -qq
  if [ ${#need[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
  fi
  if ! fuzzer_runtime; then
    major=$(clang++ -dumpversion | cut -d. -f1)
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$major-dev" >/dev/null
  fi
  fuzzer_runtime || { echo "no libFuzzer runtime for $(clang++ --version | head -1)" >&2; exit 1; }
fi

echo "== building the fuzz targets into build/fuzz" >&2
cmake -S . -B "$build" -G Ninja --no-warn-unused-cli -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DPVDB_BUILD_FUZZ=ON -DPVDB_BUILD_TESTS=OFF \
  -DPVDB_BUILD_PYTHON=OFF >"$out/cmake.log" 2>&1 || { cat "$out/cmake.log" >&2; exit 1; }
nice -n 10 cmake --build "$build" -j 2 >"$out/build.log" 2>&1 || { cat "$out/build.log" >&2; exit 1; }
python3 tests/fuzz/make_seeds.py "$build/seeds"

targets=()
for src in tests/fuzz/*_fuzz.cc; do targets+=("$(basename "$src" .cc)"); done

# Runs one target and writes its summary line to $out/$1.json.
run_target() {
  local t=$1 art="$out/artifacts/$1" corpus="$build/corpus/$1" status=ok
  rm -rf "$art" "$out/$t.log" "$out/$t.deep.log"
  mkdir -p "$art" "$corpus"
  cp tests/fuzz/corpus/* "$corpus/"
  # The long generated logs would raise every target's input size limit; only the
  # file reader needs inputs beyond its 8 KiB buffer.
  if [ "$t" = decode_fuzz ]; then cp "$build/seeds/corpus/"* "$corpus/"; fi
  # Once each, in full: libFuzzer would cut inputs this large down while fuzzing.
  # The deepest take up to 6 s each on a quiet machine, checked at every cut; a
  # hang still ends in a timeout, but a busy machine no longer does.
  if ! nice -n 10 "$build/$t" -timeout=60 -rss_limit_mb=4096 -artifact_prefix="$art/" \
    "$build/seeds/deep/"* >"$out/$t.deep.log" 2>&1; then
    status=failed
  fi
  if [ "$status" = ok ] && ! nice -n 10 "$build/$t" "$corpus" -max_total_time="$seconds" \
    -dict=tests/fuzz/json.dict -timeout=10 -rss_limit_mb=4096 -print_final_stats=1 \
    -artifact_prefix="$art/" >"$out/$t.log" 2>&1; then
    status=failed
  fi
  local runs secs
  runs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\1/p' "$out/$t.log" 2>/dev/null | tail -1 || true)
  secs=$(sed -n 's/^Done \([0-9]*\) runs in \([0-9]*\) second.*/\2/p' "$out/$t.log" 2>/dev/null | tail -1 || true)
  if [ -z "$runs" ]; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *\([0-9]*\).*/\1/p' "$out/$t.log" 2>/dev/null |
      tail -1 || true)
  fi
  local crashes timeouts leaks ooms
  crashes=$(find "$art" -name 'crash-*' | wc -l)
  timeouts=$(find "$art" -name 'timeout-*' | wc -l)
  leaks=$(find "$art" -name 'leak-*' | wc -l)
  ooms=$(find "$art" -name 'oom-*' | wc -l)
  if [ $((crashes + timeouts + leaks + ooms)) -gt 0 ]; then status=found; fi
  printf '{"target":"%s","seconds":%s,"executions":%s,"crashes":%d,"timeouts":%d,"leaks":%d,"ooms":%d,"status":"%s"}\n' \
    "$t" "${secs:-0}" "${runs:-0}" "$crashes" "$timeouts" "$leaks" "$ooms" "$status" >"$out/$t.json"
}

echo "== fuzzing ${#targets[@]} targets for ${seconds}s each, $jobs at a time; logs in $out" >&2
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  rm -f "$out/$t.json"
  run_target "$t" &
  running=$((running + 1))
done
wait || true

failed=0
for t in "${targets[@]}"; do
  if [ -f "$out/$t.json" ]; then
    cat "$out/$t.json"
    grep -q '"status":"ok"' "$out/$t.json" || failed=1
  else
    printf '{"target":"%s","status":"failed"}\n' "$t"
    failed=1
  fi
done
if [ "$failed" != 0 ]; then
  echo "fuzzing found something or failed: see $out/<target>.log and $out/artifacts/" >&2
fi
exit "$failed"
