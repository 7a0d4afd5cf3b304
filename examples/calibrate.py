"""Calibrates an eye tracker, reports its accuracy and precision, saves the
calibration to a file and restores it from there.

    scripts/example.sh calibrate [--file calibration.bin] [--points 9]
    scripts/example.sh calibrate --restore-only --file calibration.bin

The calibration data is opaque bytes: the tracker hands them out and takes
them back unchanged, in this session or a later one.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import argparse
import sys

try:
    import velto
    from velto import cli
except ImportError as _error:
    sys.exit('cannot import velto (%s); run the examples with scripts/example.sh <name>' % _error)


def main(args):
    with velto.open_tracker() as tracker:
        if not args.restore_only:
            print('Calibrating %s with %d points' % (tracker.name, len(args.points)))
            with tracker.calibrate() as calibration:
                for x, y in args.points:
                    # Show a target at (x, y) here and wait until the user looks at it.
                    calibration.collect(x, y)
                    print('  collected at (%.1f, %.1f)' % (x, y))
                print(calibration.compute())
            print('Saved %d bytes to %s' % (tracker.save_calibration(args.file), args.file))
        size = tracker.load_calibration(args.file)
        print('Applied %d bytes from %s to %s' % (size, args.file, tracker.name))


def parse_args():
    parser = cli.ArgumentParser(description='Calibration with a quality report, save and restore.')
    parser.add_argument('--file', default='calibration.bin', help='where to save / restore from')
    parser.add_argument('--restore-only', action='store_true',
                        help='only apply the calibration saved in --file')
    parser.add_argument('--points', type=int, choices=(5, 9), default=5,
                        help='number of calibration targets (default 5)')
    args = parser.parse_args()
    # Which checks --file needs depends on --restore-only; both run before any work.
    check = cli.readable_file if args.restore_only else cli.writable_file
    try:
        args.file = check(args.file)
    except argparse.ArgumentTypeError as error:
        parser.error('argument --file: %s' % error)
    args.points = velto.FIVE_POINTS if args.points == 5 else velto.NINE_POINTS
    return args


if __name__ == '__main__':
    sys.exit(cli.run(main, parse_args()))
