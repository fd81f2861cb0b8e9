#!/usr/bin/env bash
# Builds the fuzz targets with clang into BUILD_DIR and runs each for SECONDS,
# starting from the committed seeds; prints executions per target and fails
# on the first crash or broken invariant (the input is kept in BUILD_DIR/artifacts).
#   fuzz/run-all.sh BUILD_DIR SECONDS
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:?usage: fuzz/run-all.sh BUILD_DIR SECONDS}
seconds=${2:?usage: fuzz/run-all.sh BUILD_DIR SECONDS}

clangxx=${CLANGXX:-$(command -v clang++ || true)}
if [ -z "$clangxx" ] || [ ! -x "$clangxx" ]; then
  echo "fuzz: clang++ not found; install clang and libclang-rt-14-dev (scripts/install-deps test)" >&2
  exit 1
fi
runtime="$("$clangxx" -print-runtime-dir 2>/dev/null || true)/libclang_rt.fuzzer-x86_64.a"
resources="$("$clangxx" -print-resource-dir 2>/dev/null || true)"
if [ ! -f "$runtime" ] && ! ls "$resources"/lib/linux/libclang_rt.fuzzer-*.a >/dev/null 2>&1; then
  echo "fuzz: clang's libFuzzer runtime is missing; install libclang-rt-14-dev (scripts/install-deps test)" >&2
  exit 1
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -DCMAKE_CXX_COMPILER="$clangxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j"$(nproc)" >/dev/null

targets=(fuzz_lineframer fuzz_wsconnection fuzz_pluginprotocol)
declare -A max_len=([fuzz_lineframer]=4096 [fuzz_wsconnection]=20000 [fuzz_pluginprotocol]=4096)
mkdir -p "$build/artifacts"
status=0
printf '%-22s %12s %8s\n' target executions crashes
for t in "${targets[@]}"; do
  seeds="$here/corpus/${t#fuzz_}"
  # New finds go to a working corpus in the build dir; the committed seeds stay as they are.
  work="$build/corpus/$t"
  mkdir -p "$work"
  log="$build/$t.log"
  if UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ASAN_OPTIONS=detect_leaks=1 \
     "$build/$t" "$work" "$seeds" -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=25 \
       -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" >"$log" 2>&1; then
    crashes=0
  else
    crashes=1
    status=1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  printf '%-22s %12s %8s\n' "$t" "${runs:-?}" "$crashes"
  if [ "$crashes" -ne 0 ]; then
    grep -E 'ERROR|invariant failed|runtime error|Test unit written' "$log" | head -n 8 >&2 || true
    echo "  full output: $log" >&2
  fi
done
exit $status
