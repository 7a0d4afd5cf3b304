#!/usr/bin/env bash
# Builds if needed, then runs the demo against the simulated eye trackers.
source "$(dirname "$0")/common.sh"
build_project
PYTHONPATH="$BUILD/lib${PYTHONPATH:+:$PYTHONPATH}" exec "$PYTHON2" "$ROOT/examples/demo.py" "$@"
