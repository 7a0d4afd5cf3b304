"""Subscribes to every event stream and prints the events as they arrive.

    PYTHONPATH=build/lib python2.7 examples/event_streams.py [--seconds 2]

Stream types: 0 log messages (library-wide), 2 external signal, 3 time
synchronization, 4 stream errors, 5 notifications, 6 eye images (1 is gaze
data, see stream_gaze.py). To have something to show, the example also
causes a few events itself: a stream error it reports, a change of the gaze
output frequency and a calibration mode entered and left (notifications).
"""
from __future__ import print_function

import argparse
try:
    import Queue  # 2.7
except ImportError:
    import queue as Queue
import time

import velto_sync
from velto_sync import STREAM_NAMES, call, check

EVENT_STREAMS = (velto_sync.STREAM_LOG, velto_sync.STREAM_EXTERNAL_SIGNAL,
                 velto_sync.STREAM_TIME_SYNCHRONIZATION, velto_sync.STREAM_STREAM_ERRORS,
                 velto_sync.STREAM_NOTIFICATIONS, velto_sync.STREAM_EYE_IMAGES)


def main():
    parser = argparse.ArgumentParser(description='Prints the events of every event stream.')
    parser.add_argument('--seconds', type=float, default=2.0, help='how long (default 2)')
    args = parser.parse_args()

    events = Queue.Queue()
    with velto_sync.Session() as session:
        trackers = velto_sync.find_trackers()
        # External signal and eye images need a tracker with those capabilities.
        tracker = velto_sync.pick_tracker(trackers, 'capability_has_eye_images')
        if tracker is None:
            raise SystemExit('no eye tracker found')
        handle = tracker['core_eyetracker']
        print('Events of %s' % tracker['device_name'])

        for stream in EVENT_STREAMS:
            # The log stream is library-wide: the second item is any integer,
            # and unsubscribing must name the same one (the session does).
            device = 0 if stream == velto_sync.STREAM_LOG else handle
            # Bind `stream` now; the lambda runs later on a library thread.
            status = session.subscribe(stream, device, lambda event, s=stream: events.put((s, event)))
            print('subscribe_to %-22s -> %s' % (STREAM_NAMES[stream], velto_sync.status_text(status)))

        # Cause some events: a stream error of our own, a frequency change
        # and back, and a calibration mode entered and left.
        check('report_stream_error', (handle, 'hello from event_streams.py'))
        frequencies = check('get_all_gaze_output_frequencies', (handle,))
        current = check('get_gaze_output_frequency', (handle,))
        other = [f for f in frequencies if abs(f - current) > 1e-3]
        if other:
            check('set_gaze_output_frequency', (handle, other[0]))
            check('set_gaze_output_frequency', (handle, float(current)))
        if call('screen_based_calibration_enter_calibration_mode', (handle,))[0] == 0:
            call('screen_based_calibration_leave_calibration_mode', (handle,))

        end = time.time() + args.seconds
        while time.time() < end:
            try:
                stream, event = events.get(timeout=0.1)
            except Queue.Empty:
                continue
            # Eye images carry the GIF bytes; printable() shows their length.
            fields = velto_sync.printable(event)
            print('%-20s %s' % (STREAM_NAMES[stream], ', '.join(
                '%s=%r' % item for item in sorted(fields.items()))))


if __name__ == '__main__':
    main()
