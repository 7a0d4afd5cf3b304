#!/usr/bin/env bash
# Builds if needed, then runs one of the examples with the module and the
# velto package on the path; works from any folder.
#
#   scripts/example.sh <name> [arguments...]      e.g. scripts/example.sh discover
#   PYTHON=/path/to/python scripts/example.sh stream_gaze --seconds 5
#
# <name> is a file of examples/ without .py. PYTHON chooses the interpreter
# (default pyenv's 2.7.18); VELTO_BUILD_DIR the build folder (default build/,
# build-py3X/ for 3.X).
source "$(dirname "$0")/common.sh"
list_examples() {
  (cd "$ROOT/examples" && ls *.py | sed 's/\.py$//' | tr '\n' ' ')
}
if [ $# -lt 1 ] || [ "$1" = -h ] || [ "$1" = --help ]; then
  echo "usage: scripts/example.sh <name> [arguments...]; examples: $(list_examples)" >&2
  exit 2
fi
name="${1%.py}"
shift
if [ ! -f "$ROOT/examples/$name.py" ]; then
  echo "scripts/example.sh: no example '$name'; examples: $(list_examples)" >&2
  exit 2
fi
build_module
PYTHONPATH="$BUILD/lib:$ROOT/python${PYTHONPATH:+:$PYTHONPATH}" exec "$PYTHON" "$ROOT/examples/$name.py" "$@"
