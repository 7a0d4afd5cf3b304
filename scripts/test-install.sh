#!/usr/bin/env bash
# Installs the distribution velto as a user would and runs it from outside the source
# tree, then uninstalls it and checks that nothing is left behind:
#   - Python 3.13: `python -m pip install .` into a fresh virtual environment;
#   - Python 2.7: `python backend/velto_backend.py install --target DIR`
#     (its pip 19 cannot load the in-tree build backend).
# The tree is a fresh copy (the backend's source archive), so nothing of the
# development build is reused: one Release build per interpreter. One line per
# step; on a failure the step's output follows and the work folder is kept.
#
#   scripts/test-install.sh
#
# VELTO_INSTALL_PYTHON3 / VELTO_INSTALL_PYTHON2 choose the interpreters.
source "$(dirname "$0")/common.sh"

PY3="${VELTO_INSTALL_PYTHON3:-$(pyenv_root)/versions/3.13.0/bin/python}"
PY2="${VELTO_INSTALL_PYTHON2:-$(pyenv_root)/versions/2.7.18/bin/python}"
VERSION="$(cat "$ROOT/VERSION")"
WORK="$(mktemp -d /tmp/velto-test-install.XXXXXX)"
LOG="$WORK/step.log"
trap 'rm -rf "$WORK"' EXIT

# step "what" command...: runs the command (a failing line inside it fails the
# step: errexit holds in the subshell), prints one line.
step() {
  local what="$1" start=$SECONDS status
  shift
  set +e
  (set -e; "$@") >"$LOG" 2>&1
  status=$?
  set -e
  if [ "$status" = 0 ]; then
    echo "test-install: $what: ok ($((SECONDS - start)) s)"
  else
    echo "test-install: $what: FAILED ($((SECONDS - start)) s); its output:"
    sed 's/^/    /' "$LOG"
    echo "test-install: the work folder $WORK is kept"
    trap - EXIT
    exit 1
  fi
}

copy_tree() {
  "$PYTHON" -c 'import sys; sys.path.insert(0, sys.argv[1] + "/backend"); import velto_backend
print(velto_backend.build_sdist(sys.argv[2]))' "$ROOT" "$WORK" >"$WORK/sdist-name"
  tar -xzf "$WORK/$(cat "$WORK/sdist-name")" -C "$WORK"
  mv "$WORK/velto-$VERSION" "$WORK/src"
  mkdir "$WORK/examples"
  cp "$ROOT"/examples/*.py "$WORK/examples/"
}

# The demo and discover.py run from / with the installed module (from SITE,
# outside the tree) and the examples copied out of the tree.
run_demo() {
  local python="$1" out="$2"
  (cd / && "$python" "$WORK/examples/demo.py" --seconds 1 --out "$out")
  for f in gaze.csv events.jsonl metadata.json scanpath.svg calibration.bin eye_images; do
    [ -s "$out/$f" ] || { echo "the demo wrote no $out/$f"; return 1; }
  done
}
run_discover() {
  local python="$1" site="$2"
  (cd / && "$python" "$WORK/examples/discover.py") | tee "$WORK/discover.txt"
  grep -q '^2 eye tracker(s) found$' "$WORK/discover.txt"
  (cd / && "$python" -c 'import velto_internal as v; print(v.__file__); print(v.__version__)') \
    | tee "$WORK/where.txt"
  [ "$(sed -n 2p "$WORK/where.txt")" = "$VERSION" ]
  case "$(sed -n 1p "$WORK/where.txt")" in
    "$site"/velto_internal*.so) ;;
    *) echo "velto_internal was not imported from $site"; return 1 ;;
  esac
}

# The installed simulator control module: it finds the libvelto.so beside the
# installed module and serves a 1200 Hz world that the velto package streams;
# the package's row formatter velto_rows is installed beside them and used.
run_simulator() {
  local python="$1" site="$2"
  (cd / && "$python" -c '
from __future__ import print_function
import os, sys, velto, velto_internal, velto_rows, velto_sim
from velto import columns
sim = velto_sim.Simulator()
assert os.path.dirname(sim.path) == os.path.dirname(velto_internal.__file__), sim.path
assert os.path.dirname(velto_rows.__file__) == os.path.dirname(velto_internal.__file__)
assert columns.GazeSink(0, "compact", ("device_time_stamp", "system_time_stamp")).native
print(velto_sim.__file__, sim.path)
sim.configure({"trackers": [{"address": "velto-sim://fast",
                              "gaze_output_frequencies": [60.0, 1200.0],
                              "gaze_output_frequency": 1200.0}]})
with velto.open_tracker() as tracker:
    assert tracker.frequency == 1200.0, tracker.frequency
    with tracker.gaze() as gaze:
        samples = list(gaze.for_seconds(0.5))
print(len(samples), "samples in 0.5 s")
assert len(samples) > 300, len(samples)
') | tee "$WORK/simulator.txt"
  case "$(sed -n 1p "$WORK/simulator.txt")" in
    "$site"/velto_sim.py*) ;;
    *) echo "velto_sim was not imported from $site"; return 1 ;;
  esac
}
pip_names() {
  local python="$1"
  "$python" -m pip show velto | tee "$WORK/show.txt"
  grep -q '^Name: velto$' "$WORK/show.txt"
}

# Python 3: a fresh venv, pip install ., run, pip uninstall, nothing left.
venv_install() {
  "$PY3" -m venv "$WORK/venv"
  (cd "$WORK/venv" && find . | sort) >"$WORK/venv-before.txt"
  # --no-cache-dir: a wheel from an earlier build must not stand in for this one.
  (cd "$WORK/src" && "$WORK/venv/bin/python" -m pip install --no-cache-dir .)
}
venv_site() {
  "$WORK/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])'
}
venv_uninstall() {
  "$WORK/venv/bin/python" -m pip uninstall -y velto
  (cd "$WORK/venv" && find . | sort) >"$WORK/venv-after.txt"
  diff "$WORK/venv-before.txt" "$WORK/venv-after.txt"
}

# Python 2.7: the backend's command into a target folder.
target_install() {
  "$PY2" "$WORK/src/backend/velto_backend.py" install --target "$WORK/site27"
}
target_uninstall() {
  PYTHONPATH="$WORK/site27" "$PY2" -m pip uninstall -y velto
  if [ -d "$WORK/site27" ] && [ -n "$(find "$WORK/site27" -mindepth 1)" ]; then
    echo "left behind:"
    find "$WORK/site27" -mindepth 1
    return 1
  fi
}

step "fresh copy of the tree in $WORK/src" copy_tree

py3_version="$("$PY3" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
step "Python $py3_version: pip install . into a fresh venv" venv_install
SITE3="$(venv_site)"
step "Python $py3_version: demo from / against the installed module" run_demo "$WORK/venv/bin/python" "$WORK/demo3"
step "Python $py3_version: discover.py from /" run_discover "$WORK/venv/bin/python" "$SITE3"
step "Python $py3_version: velto_sim serves a 1200 Hz world from /" run_simulator "$WORK/venv/bin/python" "$SITE3"
step "Python $py3_version: pip show velto" pip_names "$WORK/venv/bin/python"
step "Python $py3_version: pip uninstall leaves the venv as it was" venv_uninstall

step "Python 2.7: velto_backend.py install --target" target_install
export PYTHONPATH="$WORK/site27"
step "Python 2.7: demo from / against the installed module" run_demo "$PY2" "$WORK/demo2"
step "Python 2.7: discover.py from /" run_discover "$PY2" "$WORK/site27"
step "Python 2.7: velto_sim serves a 1200 Hz world from /" run_simulator "$PY2" "$WORK/site27"
step "Python 2.7: pip show velto" pip_names "$PY2"
unset PYTHONPATH
step "Python 2.7: pip uninstall leaves the target folder empty" target_uninstall
echo "test-install: 2 interpreters installed, run and uninstalled"
