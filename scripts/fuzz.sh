#!/usr/bin/env bash
# Builds the libFuzzer target (fuzz/value_fuzz.cc) with clang and runs it.
#
#   scripts/fuzz.sh [seconds] [libFuzzer options...]
#
# Fuzzes the value tree's builders and parser and the stream translators with
# AddressSanitizer and UndefinedBehaviorSanitizer for `seconds` (default 60).
# The corpus grows in build-fuzz/corpus/ (VELTO_FUZZ_BUILD_DIR overrides the
# folder) and is reused by the next run; a crashing input is saved in the
# current folder as crash-<sha1> and can be replayed with
#   build-fuzz/bin/value_fuzz crash-<sha1>
source "$(dirname "$0")/common.sh"
seconds="${1:-60}"
shift || true
build="${VELTO_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}"

install_dependencies
install_fuzz_dependencies
log="$build/fuzz-build.log"
mkdir -p "$build/corpus"
echo "Building value_fuzz in $build (log: $log)" >&2
if ! { CC=clang CXX=clang++ cmake -S "$ROOT" -B "$build" -DPython_EXECUTABLE="$PYTHON" -DVELTO_FUZZ=ON \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j"$(nproc)" --target value_fuzz; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "The fuzz build failed; the full log is $log" >&2
  exit 1
fi
# Leaks are checked after every input; -rss_limit keeps a runaway input from
# taking the machine.
exec "$build/bin/value_fuzz" -max_total_time="$seconds" -print_final_stats=1 \
  -rss_limit_mb=2048 -timeout=10 "$@" "$build/corpus"
