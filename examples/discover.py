"""Finds every eye tracker and prints what the module knows about each one.

    PYTHONPATH=build/lib python2.7 examples/discover.py
"""
from __future__ import print_function

import velto_sync
from velto_sync import check


def main():
    with velto_sync.Session():
        print('SDK version', check('get_sdk_version'))
        trackers = velto_sync.find_trackers()
        print('%d eye tracker(s) found' % len(trackers))
        for tracker in trackers:
            # A device description: five texts, a tuple of capability names and
            # the device handle (a long) that every device operation takes.
            handle = tracker['core_eyetracker']
            print()
            print(tracker['device_name'])
            for key in ('address', 'serial_number', 'model', 'firmware_version'):
                print('  %-18s %s' % (key, tracker[key]))
            print('  %-18s %s' % ('capabilities',
                                  ', '.join(tracker['device_capabilities']) or '(none)'))
            print('  %-18s %d' % ('handle', handle))

            # Settings and geometry, read with the same handle.
            frequencies = check('get_all_gaze_output_frequencies', (handle,))
            print('  %-18s %s Hz (now %s Hz)' % (
                'frequencies', ', '.join('%g' % f for f in frequencies),
                check('get_gaze_output_frequency', (handle,))))
            print('  %-18s %s (now %s)' % (
                'tracking modes', ', '.join(check('get_all_eye_tracking_modes', (handle,))),
                check('get_eye_tracking_mode', (handle,))))
            area = check('get_display_area', (handle,))
            print('  %-18s %.1f x %.1f mm, top left at (%.1f, %.1f, %.1f) mm' % (
                ('display area', area['width'], area['height']) + area['top_left']))

            # The same tracker again, opened by its address instead of its handle.
            again = check('get_device', (tracker['address'],))
            print('  %-18s %s' % ('get_device', 'same handle' if again['core_eyetracker'] == handle
                                  else 'handle %d' % again['core_eyetracker']))


if __name__ == '__main__':
    main()
