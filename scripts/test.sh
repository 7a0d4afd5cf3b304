#!/usr/bin/env bash
# Builds and runs every test, and ends with one verdict line covering every
# step ("test.sh: N passed, M failed"); exits non-zero when anything failed.
#
#   scripts/test.sh [ctest arguments...]
#
# Steps (a failed step does not stop the later ones):
#   1. Python 2.7 (build/): the C++ units, the architecture check, the package
#      build's tests and the Python end-to-end suites.
#   2. Each Python 3 interpreter found among 3.8 to 3.13 (build-py3X/): the
#      Python suites again, against a module built for that interpreter. 3.8
#      and 3.13 run the robustness suites at full strength, the versions
#      between them at a quarter (VELTO_STRESS_SECONDS, VELTO_EXIT_REPEAT,
#      VELTO_BAD_INPUT_CASES) and without the package's slowest pure-Python
#      suites, to keep the whole run near twelve minutes.
#   3. The core library compiled with clang -Wthread-safety -Werror
#      (scripts/thread_safety.sh): one step, passed or failed.
#   4. AddressSanitizer + UndefinedBehaviorSanitizer (scripts/sanitize.sh
#      address): the C++ units and the Python suites on 2.7.
#   5. A short reproducible libFuzzer run (scripts/fuzz.sh; its output goes to
#      build-fuzz/fuzz.log, shown only when it fails).
#   6. Installing the package as a user would (scripts/test-install.sh).
#
# VELTO_TEST_PYTHONS chooses the interpreters of steps 1 and 2 as versions
# ("3.12", or "2.7 3.13"); the first of them runs every test of step 1, the
# others the Python suites. VELTO_TEST_THREAD_SAFETY=0, VELTO_TEST_SANITIZE=0,
# VELTO_TEST_FUZZ=0 and VELTO_TEST_INSTALL=0 skip steps 3 to 6. Extra
# arguments go to every ctest run (e.g. -R py.test_examples).
source "$(dirname "$0")/common.sh"

PASSED=0
FAILED=0
FAILURES=()

# Adds one ctest run's counts from its output (a run that printed no summary,
# because the build or ctest itself failed, counts as one failed step).
count_ctest() {
  local what="$1" log="$2" summary total failed
  summary="$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)"
  if [ -z "$summary" ]; then
    FAILED=$((FAILED + 1))
    FAILURES+=("$what: no test ran")
    return
  fi
  failed="$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$summary")"
  total="$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")"
  PASSED=$((PASSED + total - failed))
  FAILED=$((FAILED + failed))
  [ "$failed" = 0 ] || FAILURES+=("$what: $failed of $total failed")
}

# Counts a step that is one check: its command's exit status decides.
count_step() {
  local what="$1" status="$2"
  if [ "$status" = 0 ]; then
    PASSED=$((PASSED + 1))
  else
    FAILED=$((FAILED + 1))
    FAILURES+=("$what")
  fi
}

# The interpreters of steps 1 and 2, as paths.
test_pythons() {
  local versions="${VELTO_TEST_PYTHONS:-2.7 3.8 3.9 3.10 3.11 3.12 3.13}" version path
  for version in $versions; do
    path="$(ls -d "$(pyenv_root)/versions/$version".*/bin/python 2>/dev/null | sort -V | tail -n 1)"
    if [ -n "$path" ]; then
      echo "$path"
    elif [ -n "${VELTO_TEST_PYTHONS:-}" ] || [ "$version" = 2.7 ] || [ "$version" = 3.8 ] ||
         [ "$version" = 3.13 ]; then
      echo "missing:$version"
    fi
  done
}

install_dependencies
install_browser_test_dependencies
first=1
for python in $(test_pythons); do
  if [ "${python#missing:}" != "$python" ]; then
    echo "test.sh: no interpreter for Python ${python#missing:} under $(pyenv_root)/versions" >&2
    count_step "Python ${python#missing:}: interpreter" 1
    continue
  fi
  version="$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  log="$(mktemp)"
  if [ "$first" = 1 ]; then
    build="$BUILD"
    echo "test.sh: Python $version: every test ($build)"
    { cmake -S "$ROOT" -B "$build" -DPython_EXECUTABLE="$python" >/dev/null &&
      cmake --build "$build" -j"$(nproc)" >/dev/null &&
      ctest --test-dir "$build" --output-on-failure -j2 "$@"; } 2>&1 | tee "$log" || true
    count_ctest "Python $version" "$log"
    first=0
  else
    build="$ROOT/build-py${version/./}"
    echo "test.sh: Python $version: the Python suites ($build)"
    scale=()
    skip=()
    case "$version" in
      3.8 | 3.13) ;;
      *) scale=(VELTO_STRESS_SECONDS=10 VELTO_EXIT_REPEAT=0.25 VELTO_BAD_INPUT_CASES=5000)
         # The velto package's slowest suites are pure Python over the
         # module: 3.8 and 3.13 on either side cover the versions between.
         skip=(-E 'py\.test_(docs|manager|velto_replay|velto_faults|velto_data)$') ;;
    esac
    { cmake -S "$ROOT" -B "$build" -DPython_EXECUTABLE="$python" >/dev/null &&
      cmake --build "$build" -j"$(nproc)" --target velto_internal velto >/dev/null &&
      env "${scale[@]}" ctest --test-dir "$build" --output-on-failure -j2 -R '^py\.' \
        "${skip[@]+"${skip[@]}"}" "$@"; } \
      2>&1 | tee "$log" || true
    count_ctest "Python $version" "$log"
  fi
  rm -f "$log"
done

if [ "${VELTO_TEST_THREAD_SAFETY:-1}" != 0 ]; then
  echo "test.sh: clang thread-safety analysis"
  status=0
  "$ROOT/scripts/thread_safety.sh" || status=$?
  count_step "thread-safety analysis (see build-thread-safety/build.log)" "$status"
fi

if [ "${VELTO_TEST_SANITIZE:-1}" != 0 ]; then
  echo "test.sh: AddressSanitizer + UndefinedBehaviorSanitizer"
  log="$(mktemp)"
  "$ROOT/scripts/sanitize.sh" address "$@" 2>&1 | tee "$log" || true
  count_ctest "sanitizers" "$log"
  rm -f "$log"
fi

if [ "${VELTO_TEST_FUZZ:-1}" != 0 ]; then
  fuzz_log="${VELTO_FUZZ_BUILD_DIR:-$ROOT/build-fuzz}/fuzz.log"
  mkdir -p "$(dirname "$fuzz_log")"
  echo "test.sh: fuzzing (log: $fuzz_log)"
  status=0
  "$ROOT/scripts/fuzz.sh" 180 -runs=500000 -seed=1 -artifact_prefix="$(dirname "$fuzz_log")/" \
    >"$fuzz_log" 2>&1 || status=$?
  if [ "$status" = 0 ]; then
    grep -E '^(stat::number_of_executed_units|Done )' "$fuzz_log" | sed 's/^/  /' || true
  else
    tail -n 60 "$fuzz_log"
  fi
  count_step "fuzzing (see $fuzz_log)" "$status"
fi

if [ "${VELTO_TEST_INSTALL:-1}" != 0 ]; then
  echo "test.sh: installing the package"
  status=0
  "$ROOT/scripts/test-install.sh" || status=$?
  count_step "install check" "$status"
fi

for failure in "${FAILURES[@]+"${FAILURES[@]}"}"; do echo "test.sh: failed: $failure"; done
echo "test.sh: $PASSED passed, $FAILED failed"
[ "$FAILED" = 0 ]
