#!/usr/bin/env bash
# Builds a sanitizer tree and runs the tests under it.
#
#   scripts/sanitize.sh address [ctest arguments...]
#       AddressSanitizer + UndefinedBehaviorSanitizer: the module, the
#       simulator and every C++ test instrumented; all C++ tests and all
#       Python 2.7 suites run (the runtimes are preloaded into the
#       uninstrumented interpreter, see tests/sanitizer/sanitizer_env.cmake).
#       Build folder: build-asan/ (VELTO_ASAN_BUILD_DIR overrides).
#   scripts/sanitize.sh thread [ctest arguments...]
#       ThreadSanitizer: the C++ tests of the request queue and signals
#       (module_core_test), the runtimes and workers raced through the
#       module's methods (runtime_race_test), the subscription registry
#       (registry_test) and the simulator's threads (sim_*_test). The Python suites are not run: the
#       uninstrumented interpreter's own synchronisation drowns the report.
#       Build folder: build-tsan/ (VELTO_TSAN_BUILD_DIR overrides).
#
# Any sanitizer report fails the test that produced it (halt_on_error). Extra
# arguments go to ctest, e.g. `scripts/sanitize.sh address -R py.test_stress`.
source "$(dirname "$0")/common.sh"

kind="${1:-}"
case "$kind" in
  address)
    build="${VELTO_ASAN_BUILD_DIR:-$ROOT/build-asan}"
    tests=(velto_internal velto)
    for source in "$ROOT"/tests/cpp/*_test.cc; do tests+=("$(basename "$source" .cc)"); done
    select=()
    ;;
  thread)
    build="${VELTO_TSAN_BUILD_DIR:-$ROOT/build-tsan}"
    tests=(module_core_test runtime_race_test registry_test)
    for source in "$ROOT"/tests/cpp/sim_*_test.cc; do tests+=("$(basename "$source" .cc)"); done
    pattern="$(IFS='|'; echo "${tests[*]}")"
    select=(-R "^cpp\\.($pattern)\$")
    ;;
  *)
    echo "usage: scripts/sanitize.sh address|thread [ctest arguments...]" >&2
    exit 2
    ;;
esac
shift

install_dependencies
log="$build/sanitize-build.log"
mkdir -p "$build"
echo "Building the $kind-sanitized tree in $build (log: $log)" >&2
if ! { cmake -S "$ROOT" -B "$build" -DPython_EXECUTABLE="$PYTHON" -DVELTO_SANITIZE="$kind" \
         -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
       cmake --build "$build" -j"$(nproc)" --target "${tests[@]}"; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "The $kind-sanitized build failed; the full log is $log" >&2
  exit 1
fi
ctest --test-dir "$build" --output-on-failure -j2 "${select[@]}" "$@"
