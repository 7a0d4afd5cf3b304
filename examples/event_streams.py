"""Subscribes to every event stream and prints the events as they arrive.

    scripts/example.sh event_streams [--seconds 2]

Event streams: external signal, time synchronization, stream errors,
notifications, eye images, and the library-wide log (gaze data is in
stream_gaze.py). To have something to show, the example also causes a few
events itself: a stream error it reports, a change of the gaze output
frequency and back, and a calibration mode entered and left.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import sys
import time

try:
    from queue import Empty, Queue
except ImportError:  # Python 2
    from Queue import Empty, Queue

try:
    import velto
    from velto import cli
except ImportError as _error:
    sys.exit('cannot import velto (%s); run the examples with scripts/example.sh <name>' % _error)


def printable(event):
    """The event's fields as text; eye images show their size, not their bytes."""
    return ', '.join('%s=%s' % (key, '<%d bytes>' % len(value) if key == 'image_data' else value)
                     for key, value in sorted(event.items()))


def main(args):
    events = Queue()
    with velto.open_tracker(capabilities=('eye_images',)) as tracker:
        print('Events of %s' % tracker.name)
        subscriptions = [velto.log_messages(callback=lambda e: events.put(('log', e)))]
        for stream in velto.EVENT_STREAMS:
            if stream != 'log':
                # Bind `stream` now; the callback runs later on a library thread.
                subscriptions.append(tracker.subscribe(
                    stream, callback=lambda e, s=stream: events.put((s, e))))
        print('Subscribed to %s' % ', '.join(s.stream for s in subscriptions))

        tracker.report_stream_error('hello from event_streams.py')
        current = tracker.frequency
        other = [f for f in tracker.frequencies if abs(f - current) > 1e-3]
        if other:
            tracker.frequency = other[0]
            tracker.frequency = current
        with tracker.calibrate(measure_eyes=False):
            pass  # entering and leaving send notifications

        end = time.time() + args.seconds
        while time.time() < end:
            try:
                stream, event = events.get(timeout=0.1)
            except Empty:
                continue
            print('%-16s %s' % (stream, printable(event)))
        for subscription in subscriptions:
            subscription.close()


if __name__ == '__main__':
    parser = cli.ArgumentParser(description='Prints the events of every event stream.')
    parser.add_argument('--seconds', type=cli.seconds, default=2.0, help='how long (default 2)')
    sys.exit(cli.run(main, parser.parse_args()))
