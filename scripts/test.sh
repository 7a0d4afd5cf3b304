#!/usr/bin/env bash
# Builds everything and runs every test (C++ units and Python end-to-end
# suites), then runs them all again in the AddressSanitizer + UndefinedBehavior
# Sanitizer build (scripts/sanitize.sh address; VELTO_TEST_SANITIZE=0 skips
# it), then a short reproducible libFuzzer run of the value tree and stream
# translators (fixed seed and input count; VELTO_TEST_FUZZ=0 skips it), then
# installs the package as a user would (scripts/test-install.sh;
# VELTO_TEST_INSTALL=0 skips it).
source "$(dirname "$0")/common.sh"
build_project
ctest --test-dir "$BUILD" --output-on-failure -j2 "$@"
if [ "${VELTO_TEST_SANITIZE:-1}" != 0 ]; then
  "$ROOT/scripts/sanitize.sh" address "$@"
fi
if [ "${VELTO_TEST_FUZZ:-1}" != 0 ]; then
  "$ROOT/scripts/fuzz.sh" 180 -runs=500000 -seed=1
fi
if [ "${VELTO_TEST_INSTALL:-1}" != 0 ]; then
  "$ROOT/scripts/test-install.sh"
fi
