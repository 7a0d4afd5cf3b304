"""The tracker manager at 1200 Hz: time from a gaze sample to its dot on the
page, and the server's CPU with one page open. Prints figures; not a test.

    ~/.pyenv/versions/2.7.18/bin/python bench/manager_bench.py [--seconds 10] [--lib-dir build/lib]

Runs the manager in this process against a simulated tracker generating
gaze (and eye images) at 1200 Hz, measures the process's CPU for --seconds
with no page open, then opens the page in headless chromium (bench/
manager_bench.js, playwright-core from tests/browser) and measures again
while the page draws, with a recording running (its rows are checked for
gaps: the page's thinning must never cost the recording a row). Latency is
measured in the page: when a sample is first drawn (in requestAnimationFrame),
the page takes the system time now (wall clock plus the server's
system-minus-wall offset) minus the sample's system time stamp.
"""
from __future__ import absolute_import, division, print_function

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
RATE = 1200.0

parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
parser.add_argument('--lib-dir', default=os.path.join(ROOT, 'build', 'lib'),
                    help='the build tree lib/ folder (default build/lib)')
parser.add_argument('--seconds', type=float, default=10.0, help='length of each measurement')
parser.add_argument('--chromium', default='/usr/bin/chromium')
options = parser.parse_args()
sys.path[:0] = [os.path.abspath(options.lib_dir), os.path.join(ROOT, 'python'),
                os.path.join(ROOT, 'simulator')]
import velto  # noqa: E402  (after the path is set)
import velto_sim  # noqa: E402
from velto.manager import Manager, Server  # noqa: E402

world = {'trackers': [{'address': 'velto-sim://bench', 'device_name': 'Bench 1200',
                       'capabilities': 7, 'gaze_output_frequencies': [RATE]}]}
velto_sim.Simulator(os.path.abspath(options.lib_dir)).configure(world)


def cpu_share(seconds):
    """This process's CPU time over `seconds` of wall time, as a share of one core."""
    before, start = os.times(), time.time()
    time.sleep(seconds)
    after, end = os.times(), time.time()
    return (after[0] + after[1] - before[0] - before[1]) / (end - start)


root = tempfile.mkdtemp(prefix='velto-manager-bench-')
manager = Manager(root)
server = Server(manager, '127.0.0.1', 0)
loop = threading.Thread(target=server.serve_forever)
loop.daemon = True
loop.start()
try:
    print('velto manager benchmark: Python %s, tracker at %g Hz, %g s per figure'
          % (sys.version.split()[0], manager.frequency, options.seconds))
    time.sleep(1.0)
    idle = cpu_share(options.seconds)
    print('server CPU, no page open (live subscription only): %5.1f %% of a core' % (100 * idle))
    manager.recording_start('bench-recording')
    recording_only = cpu_share(options.seconds)
    print('server CPU, recording, no page open:              %5.1f %% of a core'
          % (100 * recording_only))
    page = subprocess.Popen(['node', os.path.join(ROOT, 'bench', 'manager_bench.js'), server.url,
                             str(options.seconds + 3), options.chromium],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(3.0)  # the browser starts and the page settles
    with_page = cpu_share(options.seconds)
    out, err = page.communicate()
    if page.returncode != 0:
        sys.exit('the page run failed:\n%s%s' % (out.decode('utf-8', 'replace'),
                                                 err.decode('utf-8', 'replace')))
    figures = json.loads(out.decode('utf-8').strip().splitlines()[-1])
    print('server CPU, recording, one page open:             %5.1f %% of a core'
          % (100 * with_page))
    state = manager.recording_stop()
    saved = velto.load_recording(state['folder'])
    times = [row['time_us'] for row in saved.gaze]
    gaps = sum(1 for a, b in zip(times, times[1:]) if b - a > 1.5 * 1e6 / RATE)
    print('recording: %d rows in %.1f s (%.0f rows/s), gaps in the time stamps: %d, '
          'stream gaps seen live: %s' % (len(times), state['seconds'], len(times) / state['seconds'],
                                         gaps, state['missing_samples']))
    print('page: %d frames drawn at %s frames/s, %d stream messages'
          % (figures['drawn'], figures['fps'], figures['frames']))
    print('sample to its dot on the page: p50 %.1f ms, p99 %.1f ms, max %.1f ms (%d samples drawn)'
          % (figures['p50'] / 1000.0, figures['p99'] / 1000.0, figures['max'] / 1000.0,
             figures['n']))
finally:
    server.stop()
    manager.close()
    shutil.rmtree(root, ignore_errors=True)
