#!/usr/bin/env bash
# Builds if needed, then starts the tracker manager (a page on
# http://127.0.0.1:8410/ by default) against the simulated eye trackers, or
# the device library installed in its place; works from any folder.
#
#   scripts/manager.sh [--port 8410] [--open] [--folder recordings]
#
# Every argument goes to `python -m velto.manager` (--help lists them).
# PYTHON chooses the interpreter (default pyenv's 2.7.18); VELTO_BUILD_DIR the
# build folder (default build/, build-py3X/ for 3.X).
source "$(dirname "$0")/common.sh"
echo "Building velto_internal for $PYTHON if needed" >&2
build_module
PYTHONPATH="$BUILD/lib:$ROOT/python${PYTHONPATH:+:$PYTHONPATH}" exec "$PYTHON" -m velto.manager "$@"
