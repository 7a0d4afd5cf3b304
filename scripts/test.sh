#!/usr/bin/env bash
# Builds everything and runs every test (C++ units and Python end-to-end suites).
source "$(dirname "$0")/common.sh"
build_project
ctest --test-dir "$BUILD" --output-on-failure -j2 "$@"
