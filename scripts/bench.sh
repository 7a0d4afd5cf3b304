#!/usr/bin/env bash
# Builds a Release tree (build-bench/, or $VELTO_BENCH_BUILD) and runs the
# benchmark: gaze delivery and request round trip of velto_internal next to
# their reference implementations, memory growth, and the value-tree figures.
# Extra arguments go to bench/run_bench.py (e.g. --rounds 3, --only gaze).
source "$(dirname "$0")/common.sh"
BENCH_BUILD="${VELTO_BENCH_BUILD:-$ROOT/build-bench}"

install_dependencies
if [ ! -f /usr/include/benchmark/benchmark.h ]; then
  echo "Installing libbenchmark-dev" >&2
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq libbenchmark-dev >/dev/null
fi

cmake -S "$ROOT" -B "$BENCH_BUILD" -DPython_EXECUTABLE="$PYTHON" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BENCH_BUILD" -j2 --target bench >/dev/null

exec "$PYTHON" -u "$ROOT/bench/run_bench.py" --lib-dir "$BENCH_BUILD/lib" \
  --value-bench "$BENCH_BUILD/bin/value_bench" "$@"
