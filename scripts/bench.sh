#!/usr/bin/env bash
# Builds one Release tree per interpreter and prints the benchmark's figures
# for Python 2.7 and one Python 3 side by side: gaze delivery and request
# round trip of velto_internal next to their reference implementations, gaze
# latency at 1200 Hz, memory growth and the value-tree figures, with the
# targets checked per version.
#
#   Python 2.7: $PYTHON (or $PYTHON2, or pyenv's 2.7.18), tree build-bench/
#               (or $VELTO_BENCH_BUILD)
#   Python 3:   $VELTO_BENCH_PYTHON3 (default: pyenv's newest 3.13), tree
#               build-bench-py3XX/ (or $VELTO_BENCH_BUILD3)
#
# Each section runs in a process of its own, alternating between the two
# interpreters (so a slow phase of the shared machine hits both alike);
# bench/report.py then prints one report. Extra arguments go to
# bench/run_bench.py (e.g. --rounds 3, --only gaze,latency, --latency-seconds 10);
# --json FILE writes every raw figure of both; with --profile the one variant
# runs on each interpreter in turn and nothing else is printed. The section
# "recording" (--only recording) runs bench/recording_cost.py on each
# interpreter instead: a velto recording's process CPU a gaze sample over a
# bare subscription, printed after the report; likewise "markers" (--only
# markers) runs bench/marker_bench.py: mark() p50/p99 and the markers' time
# accuracy against the simulator's clock.
source "$(dirname "$0")/common.sh"
BENCH_BUILD="${VELTO_BENCH_BUILD:-$ROOT/build-bench}"

newest_python3() {
  local found
  found="$(ls -d "$(pyenv_root)"/versions/3.13.* 2>/dev/null | sort -V | tail -n 1)"
  [ -n "$found" ] || { echo "no Python 3.13 in $(pyenv_root)/versions; set VELTO_BENCH_PYTHON3" >&2; exit 1; }
  echo "$found/bin/python3"
}
PYTHON3="${VELTO_BENCH_PYTHON3:-$(newest_python3)}"
[ -n "$PYTHON3" ] || exit 1
TAG3="$("$PYTHON3" -c 'import sys; print("py%d%d" % sys.version_info[:2])')"
BENCH_BUILD3="${VELTO_BENCH_BUILD3:-$ROOT/build-bench-$TAG3}"

install_dependencies
[ -f /usr/include/benchmark/benchmark.h ] || apt_install libbenchmark-dev

build_tree() {  # build_tree PYTHON TREE: the Release tree of the benchmark for PYTHON
  cmake -S "$ROOT" -B "$2" -DPython_EXECUTABLE="$1" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$2" -j2 --target bench >/dev/null
}
build_tree "$PYTHON" "$BENCH_BUILD"
build_tree "$PYTHON3" "$BENCH_BUILD3"

# The options run_bench.py gets, less the ones this script handles itself.
sections="gaze,busy,latency,requests,memory,value,recording,markers"
json=""
profile=0
pass=()
while [ $# -gt 0 ]; do
  case "$1" in
    --only) sections="$2"; shift 2 ;;
    --only=*) sections="${1#--only=}"; shift ;;
    --json) json="$2"; shift 2 ;;
    --json=*) json="${1#--json=}"; shift ;;
    --profile|--profile=*) profile=1; pass+=("$1"); shift ;;
    *) pass+=("$1"); shift ;;
  esac
done

run() {  # run PYTHON TREE ARGS...: run_bench.py with that interpreter on its tree
  local python="$1" tree="$2"
  shift 2
  "$python" -u "$ROOT/bench/run_bench.py" --lib-dir "$tree/lib" \
    --value-bench "$tree/bin/value_bench" ${pass[@]+"${pass[@]}"} "$@"
}

if [ "$profile" = 1 ]; then
  run "$PYTHON" "$BENCH_BUILD"
  run "$PYTHON3" "$BENCH_BUILD3"
  exit 0
fi

OUT="$(mktemp -d)"
trap 'rm -rf "$OUT"' EXIT
echo "Measuring, one section at a time on each interpreter:" >&2
for section in ${sections//,/ }; do
  if [ "$section" = recording ]; then
    "$PYTHON" -u "$ROOT/bench/recording_cost.py" --lib-dir "$BENCH_BUILD/lib" > "$OUT/recording.txt"
    "$PYTHON3" -u "$ROOT/bench/recording_cost.py" --lib-dir "$BENCH_BUILD3/lib" >> "$OUT/recording.txt"
    continue
  fi
  if [ "$section" = markers ]; then
    "$PYTHON" -u "$ROOT/bench/marker_bench.py" --lib-dir "$BENCH_BUILD/lib" > "$OUT/markers.txt"
    "$PYTHON3" -u "$ROOT/bench/marker_bench.py" --lib-dir "$BENCH_BUILD3/lib" >> "$OUT/markers.txt"
    continue
  fi
  run "$PYTHON" "$BENCH_BUILD" --only "$section" --quiet --json "$OUT/py2-$section.json"
  run "$PYTHON3" "$BENCH_BUILD3" --only "$section" --quiet --json "$OUT/py3-$section.json"
done
echo >&2
if ls "$OUT"/py2-*.json >/dev/null 2>&1; then
  "$PYTHON3" "$ROOT/bench/report.py" "$OUT"/py2-*.json "$OUT"/py3-*.json ${json:+--json "$json"}
fi
if [ -f "$OUT/recording.txt" ]; then
  echo
  echo "Recording cost (bench/recording_cost.py, 1200 Hz, steady state):"
  cat "$OUT/recording.txt"
fi
if [ -f "$OUT/markers.txt" ]; then
  echo
  echo "Markers (bench/marker_bench.py, during a 1200 Hz recording):"
  grep -v '^{' "$OUT/markers.txt"
fi
