"""Streams gaze data from the first eye tracker to the console.

    PYTHONPATH=build/lib python2.7 examples/stream_gaze.py [--seconds 2]

The module calls the subscribed function once per gaze sample, on a thread of
the device library, with a dict of 18 entries. The function here only puts
the dict on a queue; the main thread does the printing, so the library's
thread is never held up by the console.
"""
from __future__ import print_function

import argparse
import math
try:
    import Queue  # 2.7
except ImportError:
    import queue as Queue
import time

import velto_sync


def show(sample):
    """One line per sample. A group the tracker marks as not valid (validity
    other than 1) holds NaN in place of every number."""
    def point(eye):
        x, y = sample[eye + '_gaze_point_on_display_area']
        if math.isnan(x):
            return '    (no gaze)   '
        return '(%6.3f, %6.3f)' % (x, y)

    def pupil(eye):
        diameter = sample[eye + '_pupil_diameter']
        return '  -  ' if math.isnan(diameter) else '%.2f' % diameter

    print('%14d  left %s pupil %s  right %s pupil %s' % (
        sample['system_time_stamp'], point('left'), pupil('left'),
        point('right'), pupil('right')))


def main():
    parser = argparse.ArgumentParser(description='Prints gaze data as it arrives.')
    parser.add_argument('--seconds', type=float, default=2.0, help='how long (default 2)')
    args = parser.parse_args()

    samples = Queue.Queue()
    with velto_sync.Session() as session:
        tracker = velto_sync.pick_tracker(velto_sync.find_trackers())
        if tracker is None:
            raise SystemExit('no eye tracker found')
        handle = tracker['core_eyetracker']
        print('Gaze data of %s at %g Hz (display area coordinates: 0..1 from the top left)'
              % (tracker['device_name'],
                 velto_sync.check('get_gaze_output_frequency', (handle,))))

        status = session.subscribe(velto_sync.STREAM_GAZE, handle, samples.put)
        if status != 0:
            raise SystemExit('subscribe_to failed: %s' % velto_sync.status_text(status))
        count = 0
        end = time.time() + args.seconds
        while time.time() < end:
            try:
                show(samples.get(timeout=0.1))
                count += 1
            except Queue.Empty:
                pass
        # Leaving the block unsubscribes (samples may still be queued) and
        # calls cleanup().
    print('%d samples shown' % count)


if __name__ == '__main__':
    main()
