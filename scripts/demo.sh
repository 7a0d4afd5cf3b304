#!/usr/bin/env bash
# Builds if needed, then runs the demo against the simulated eye trackers.
#
#   scripts/demo.sh [--seconds 3] [--out demo-output] [--frequency 120] [--timeout 10]
#
# Every argument goes to examples/demo.py (--help lists them). Only what the
# demo needs is built: the extension module and, with it, the device library.
# PYTHON=/path/to/python chooses the interpreter (default pyenv's 2.7.18);
# VELTO_BUILD_DIR the build folder (default build/, build-py3X/ for 3.X).
source "$(dirname "$0")/common.sh"
echo "Building velto_internal for $PYTHON if needed" >&2
build_module
PYTHONPATH="$BUILD/lib:$ROOT/python${PYTHONPATH:+:$PYTHONPATH}" exec "$PYTHON" "$ROOT/examples/demo.py" "$@"
