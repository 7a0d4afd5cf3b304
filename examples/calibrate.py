"""Calibrates an eye tracker with five points, saves the calibration to a file
and restores it from that file.

    PYTHONPATH=build/lib python2.7 examples/calibrate.py [--file calibration.bin]
    PYTHONPATH=build/lib python2.7 examples/calibrate.py --restore-only --file calibration.bin

The calibration data is an opaque byte string (a str, possibly with NUL
bytes): calibration_retrieve hands it out, calibration_apply takes it back
unchanged, on the same tracker or later in another session.
"""
from __future__ import print_function

import argparse

import velto_sync
from velto_sync import call, check

POINTS = ((0.5, 0.5), (0.1, 0.1), (0.1, 0.9), (0.9, 0.1), (0.9, 0.9))


def calibrate(handle):
    check('screen_based_calibration_enter_calibration_mode', (handle,))
    try:
        for x, y in POINTS:
            # Show a target at (x, y) here and wait until the user looks at it.
            # Coordinates are floats on the display area, 0..1 from the top left
            # (an int such as 1 is refused with status 10).
            status = call('screen_based_calibration_collect_data', (handle, x, y))[0]
            print('  collected at (%.1f, %.1f): %s' % (x, y, velto_sync.status_text(status)))
        check('screen_based_calibration_compute_and_apply', (handle,))
        for point in check('screen_based_calibration_get_calibration_points', (handle,)):
            print('  target %s: left %s (validity %d), right %s (validity %d)' % (
                point['position'],
                tuple(round(v, 3) for v in point['left_sample_position']), point['left_validity'],
                tuple(round(v, 3) for v in point['right_sample_position']),
                point['right_validity']))
    finally:
        # Always leave calibration mode, even when a step failed.
        call('screen_based_calibration_leave_calibration_mode', (handle,))


def main():
    parser = argparse.ArgumentParser(description='Five-point calibration with save and restore.')
    parser.add_argument('--file', default='calibration.bin', help='where to save / restore from')
    parser.add_argument('--restore-only', action='store_true',
                        help='only apply the calibration saved in --file')
    args = parser.parse_args()

    with velto_sync.Session():
        tracker = velto_sync.pick_tracker(velto_sync.find_trackers())
        if tracker is None:
            raise SystemExit('no eye tracker found')
        handle = tracker['core_eyetracker']

        if not args.restore_only:
            print('Calibrating %s' % tracker['device_name'])
            calibrate(handle)
            data = check('calibration_retrieve', (handle,))  # None: no calibration held
            if data is None:
                raise SystemExit('the tracker holds no calibration data')
            with open(args.file, 'wb') as stream:
                stream.write(data)
            print('Saved %d bytes to %s' % (len(data), args.file))

        with open(args.file, 'rb') as stream:
            data = stream.read()
        check('calibration_apply', (handle, data))
        print('Applied %d bytes from %s to %s' % (len(data), args.file, tracker['device_name']))


if __name__ == '__main__':
    try:
        main()
    except velto_sync.VeltoError as error:
        raise SystemExit('calibration failed: %s' % error)
