"""Size of a velto recording's gaze.csv at 1200 Hz: bytes a row, measured on
a short recording of the simulated tracker, and projected to one hour.

    ~/.pyenv/versions/2.7.18/bin/python bench/recording_size.py [--seconds 10] [--lib-dir build/lib]

Records the simulator's generated gaze (fixations, saccades, blinks, lost
samples) at 1200 Hz with each column set, then prints the rows written, the
effective rate, the bytes a row, and the projection for an hour (4.32 million
rows). Only the time column grows with the recording's length (microseconds
since the start: 7 digits after ten seconds, 10 digits after about 17
minutes), so the projection replaces the measured time column's mean width
with its mean width over a whole hour. Target: well under 300 MB an hour for
the default (compact) columns. A benchmark, not a test.
"""
from __future__ import absolute_import, division, print_function

import argparse
import io
import os
import shutil
import sys
import tempfile

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
RATE = 1200.0
HOUR_ROWS = int(RATE * 3600)

parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
parser.add_argument('--lib-dir', default=os.path.join(ROOT, 'build', 'lib'),
                    help='the build tree lib/ folder (default build/lib)')
parser.add_argument('--seconds', type=float, default=10.0, help='length of each recording')
options = parser.parse_args()
sys.path[:0] = [os.path.abspath(options.lib_dir), os.path.join(ROOT, 'python'),
                os.path.join(ROOT, 'simulator')]
import velto  # noqa: E402  (after the path is set)
import velto_sim  # noqa: E402  (simulator/velto_sim.py)

world = {'trackers': [{'address': 'velto-sim://bench', 'capabilities': 7,
                       'gaze_output_frequencies': [RATE]}]}
try:
    velto_sim.Simulator(os.path.abspath(options.lib_dir)).configure(world)
except ValueError as refusal:
    sys.exit('the simulator refused the world (is --lib-dir the simulator build?): %s' % refusal)


def mean_time_width(rows):
    """Mean number of digits of the time column over `rows` rows at RATE."""
    period = 1e6 / RATE
    total, k, digits = 0, 0, 1
    while k < rows:
        # Rows whose time has `digits` digits: up to the first reaching 10**digits.
        end = min(rows, int((10 ** digits - 0.5) / period) + 1)
        total += (end - k) * digits
        k, digits = end, digits + 1
    return total / rows


def measure(tracker, columns, folder):
    with tracker.record(folder, columns=columns, eye_images=False) as recording:
        recording.wait(options.seconds)
    with io.open(os.path.join(folder, 'gaze.csv'), 'rb') as stream:
        header = stream.readline()
        rows = stream.read().splitlines()
    row_bytes = sum(len(r) + 1 for r in rows)
    time_bytes = sum(len(r.split(b',', 1)[0]) for r in rows)
    per_row = row_bytes / len(rows)
    hour_per_row = (row_bytes - time_bytes) / len(rows) + mean_time_width(HOUR_ROWS)
    hour_mb = (len(header) + hour_per_row * HOUR_ROWS) / 1e6
    saved = velto.load_recording(folder)
    print('%-8s %8d rows  %7.1f Hz  %5.1f bytes/row  -> an hour: %5.1f bytes/row, %6.1f MB'
          % (columns, len(rows), velto.effective_rate(saved.gaze), per_row, hour_per_row, hour_mb))
    return hour_mb


def main():
    scratch = tempfile.mkdtemp(prefix='velto-size-')
    try:
        with velto.open_tracker() as tracker:
            tracker.frequency = RATE
            print('gaze.csv at %g Hz, %g s per column set (an hour = %d rows)'
                  % (tracker.frequency, options.seconds, HOUR_ROWS))
            compact = measure(tracker, 'compact', os.path.join(scratch, 'compact'))
            measure(tracker, 'full', os.path.join(scratch, 'full'))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    target = 300.0
    print('compact columns: %.1f MB an hour, %s the %g MB target'
          % (compact, 'under' if compact < target else 'OVER', target))
    return 0 if compact < target else 1


if __name__ == '__main__':
    sys.exit(main())
