# Shared by the scripts in this folder: locate the interpreter, install what a
# fresh machine lacks, and configure + build the project.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${VELTO_BUILD_DIR:-$ROOT/build}"

# pyenv's folder of interpreters (pyenv need not be on the PATH).
pyenv_root() {
  local root=""
  if command -v pyenv >/dev/null 2>&1; then root="$(pyenv root 2>/dev/null || true)"; fi
  [ -n "$root" ] || root="$HOME/.pyenv"
  echo "$root"
}
# The interpreter to build for and run with: $PYTHON, else $PYTHON2 (the old
# name), else pyenv's 2.7.18.
find_python() {
  if [ -n "${PYTHON:-}" ]; then echo "$PYTHON"; return; fi
  if [ -n "${PYTHON2:-}" ]; then echo "$PYTHON2"; return; fi
  echo "$(pyenv_root)/versions/2.7.18/bin/python"
}
PYTHON="$(find_python)"

# The build folder for running the examples with $PYTHON: $VELTO_BUILD_DIR,
# else build/ for 2.7 and build-py<major><minor>/ for another interpreter, so
# that builds for several interpreters sit side by side.
module_build_dir() {
  case "${VELTO_BUILD_DIR:-}" in
    "") ;;
    /*) echo "$VELTO_BUILD_DIR"; return ;;
    *) echo "$PWD/$VELTO_BUILD_DIR"; return ;;
  esac
  local version
  version="$("$PYTHON" -c 'import sys; print("%d%d" % sys.version_info[:2])')"
  if [ "$version" = 27 ]; then echo "$ROOT/build"; else echo "$ROOT/build-py$version"; fi
}

# Builds the extension module (and with it the device library) for $PYTHON
# if needed, into $BUILD, quietly; shows the log's end and fails if it fails.
build_module() {
  if [ ! -x "$PYTHON" ] && ! command -v "$PYTHON" >/dev/null 2>&1; then
    echo "No Python interpreter at $PYTHON; set PYTHON=/path/to/python" >&2
    exit 1
  fi
  BUILD="$(module_build_dir)"
  install_dependencies
  local log="$BUILD/module-build.log"
  mkdir -p "$BUILD"
  if ! { cmake -S "$ROOT" -B "$BUILD" -DPython_EXECUTABLE="$PYTHON" &&
         cmake --build "$BUILD" -j2 --target velto_internal; } >"$log" 2>&1; then
    tail -n 40 "$log" >&2
    echo "The build failed; the full log is $log" >&2
    exit 1
  fi
}

# Installs the given Debian packages (none given: nothing to do).
apt_install() {
  [ $# -gt 0 ] || return 0
  echo "Installing $*" >&2
  local sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

# Debian packages the build and the tests need beyond a fresh machine
# (giflib decodes the simulator's eye images in its tests; the package build
# needs none of them).
install_dependencies() {
  local missing=()
  [ -f /usr/include/gif_lib.h ] || missing+=(libgif-dev)
  command -v cmake >/dev/null 2>&1 || missing+=(cmake)
  [ -d /usr/src/googletest ] || [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  apt_install "${missing[@]+"${missing[@]}"}"
}

# What the tracker manager's browser test needs besides: chromium, node and
# npm, then its one npm package (playwright-core, which never downloads a
# browser). scripts/test.sh and CI install it; the demo and examples do not.
install_browser_test_dependencies() {
  local missing=()
  [ -x /usr/bin/chromium ] || missing+=(chromium)
  command -v node >/dev/null 2>&1 || missing+=(nodejs)
  command -v npm >/dev/null 2>&1 || missing+=(npm)
  apt_install "${missing[@]+"${missing[@]}"}"
  if [ ! -f "$ROOT/tests/browser/node_modules/playwright-core/package.json" ]; then
    (cd "$ROOT/tests/browser" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund >/dev/null)
  fi
}

# The libFuzzer runtime of clang, for scripts/fuzz.sh only (the normal and
# sanitizer builds use g++).
install_fuzz_dependencies() {
  local missing=()
  command -v clang++ >/dev/null 2>&1 || missing+=(clang)
  if ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    missing+=(libclang-rt-14-dev)
  fi
  apt_install "${missing[@]+"${missing[@]}"}"
}

build_project() {
  install_dependencies
  cmake -S "$ROOT" -B "$BUILD" -DPython_EXECUTABLE="$PYTHON" "$@" >/dev/null
  cmake --build "$BUILD" -j"$(nproc)"
}
