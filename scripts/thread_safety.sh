#!/usr/bin/env bash
# Compiles the module's core library (module/, operations/, streams/, value/:
# every file that holds a lock) with clang and -Wthread-safety -Werror, so a
# guarded field touched without its lock, or a lock taken where it must not
# be, fails the build. Build folder: build-thread-safety/
# (VELTO_THREAD_SAFETY_BUILD_DIR overrides); the log is its build.log.
source "$(dirname "$0")/common.sh"
build="${VELTO_THREAD_SAFETY_BUILD_DIR:-$ROOT/build-thread-safety}"

install_dependencies
command -v clang++ >/dev/null 2>&1 || apt_install clang
log="$build/build.log"
mkdir -p "$build"
echo "Building velto_core with clang -Wthread-safety -Werror in $build (log: $log)" >&2
if ! { CC=clang CXX=clang++ cmake -S "$ROOT" -B "$build" -DPython_EXECUTABLE="$PYTHON" \
         -DVELTO_THREAD_SAFETY=ON -DVELTO_BUILD_TESTS=OFF &&
       cmake --build "$build" -j"$(nproc)" --target velto_core; } >"$log" 2>&1; then
  grep -E 'error|warning' "$log" | head -n 40 >&2
  echo "The thread-safety build failed; the full log is $log" >&2
  exit 1
fi
echo "thread safety: velto_core compiles clean" >&2
