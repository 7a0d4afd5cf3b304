"""Prints gaze data of the first eye tracker as it arrives.

    scripts/example.sh stream_gaze [--seconds 2]

The subscription queues each sample (a dict, keys in docs/reference.md) on
the device library's thread; the loop below takes them off the queue, so the
library's thread never waits for the console. A queue that overflows drops
its oldest samples and counts them.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import math
import sys

try:
    import velto
    from velto import cli
except ImportError as _error:
    sys.exit('cannot import velto (%s); run the examples with scripts/example.sh <name>' % _error)


def show(sample):
    """One line per sample; an eye without data (validity other than 1) holds NaN."""
    def point(eye):
        x, y = sample[eye + '_gaze_point_on_display_area']
        return '    (no gaze)   ' if math.isnan(x) else '(%6.3f, %6.3f)' % (x, y)

    def pupil(eye):
        diameter = sample[eye + '_pupil_diameter']
        return '  -  ' if math.isnan(diameter) else '%.2f' % diameter

    print('%14d  left %s pupil %s  right %s pupil %s' % (
        sample['system_time_stamp'], point('left'), pupil('left'), point('right'), pupil('right')))


def main(args):
    with velto.open_tracker() as tracker, tracker.gaze() as gaze:
        print('Gaze data of %s at %g Hz (display area coordinates: 0..1 from the top left)'
              % (tracker.name, tracker.frequency))
        count = 0
        for sample in gaze.for_seconds(args.seconds):
            show(sample)
            count += 1
        print('%d samples shown, %d dropped' % (count, gaze.dropped))


if __name__ == '__main__':
    parser = cli.ArgumentParser(description='Prints gaze data as it arrives.')
    parser.add_argument('--seconds', type=cli.seconds, default=2.0, help='how long (default 2)')
    sys.exit(cli.run(main, parser.parse_args()))
