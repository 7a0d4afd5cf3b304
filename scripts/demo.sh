#!/usr/bin/env bash
# Builds if needed, then runs the demo against the simulated eye trackers.
#
#   scripts/demo.sh [--seconds 3] [--out demo-output] [--frequency 120] [--timeout 10]
#
# Every argument goes to examples/demo.py (--help lists them). Only what the
# demo needs is built: the extension module and, with it, the device library.
# VELTO_BUILD_DIR chooses the build folder (default: build/).
source "$(dirname "$0")/common.sh"
install_dependencies
log="$BUILD/demo-build.log"
mkdir -p "$BUILD"
echo "Building velto_internal in $BUILD (log: $log)" >&2
if ! { cmake -S "$ROOT" -B "$BUILD" -DPython_EXECUTABLE="$PYTHON" &&
       cmake --build "$BUILD" -j"$(nproc)" --target velto_internal; } >"$log" 2>&1; then
  tail -n 40 "$log" >&2
  echo "The build failed; the full log is $log" >&2
  exit 1
fi
PYTHONPATH="$BUILD/lib${PYTHONPATH:+:$PYTHONPATH}" exec "$PYTHON" "$ROOT/examples/demo.py" "$@"
