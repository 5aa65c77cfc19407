#!/usr/bin/env bash
# Runs one harness under libFuzzer with the instrumented build:
#   fuzz/run.sh unpack [libFuzzer options...]
# The corpus folder fuzz/corpus/<harness> is read; new inputs go to
# BUILD_DIR/corpus-<harness> so the checked-in corpus stays small.
#   fuzz/run.sh unpack --merge
# minimises what a session found into fuzz/corpus/<harness>: the fewest
# inputs that reach every edge reached so far.
set -euo pipefail
cd "$(dirname "$0")/.."
harness="$1"
shift
build_dir="${BUILD_DIR:-build-fuzz}"
mkdir -p "$build_dir/corpus-$harness"
export LD_PRELOAD="$PWD/$build_dir/asan_with_fuzzer.so"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$build_dir"
if [ "${1:-}" = "--merge" ]; then
  exec python3 "fuzz/fuzz_$harness.py" -merge=1 -use_counters=0 -rss_limit_mb=4096 "fuzz/corpus/$harness" "$build_dir/corpus-$harness"
fi
exec python3 "fuzz/fuzz_$harness.py" -rss_limit_mb=4096 -max_len=4096 "$@" \
  "$build_dir/corpus-$harness" "fuzz/corpus/$harness"
