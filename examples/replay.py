"""Replays a recording as an eye tracker and prints its gaze as it arrives.

    scripts/example.sh replay --recording demo-output [--speed 1] [--loop] [--seconds 60]

Any folder the velto package recorded (scripts/demo.sh writes demo-output/)
becomes a tracker of the simulated device library: velto.replay plays its
gaze rows at their recorded intervals and its events, with time stamps of
now. Without --loop the replay ends after the last row; a connection-lost
notification says so, and this example stops then.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import math
import sys
import time

try:
    import velto
    from velto import cli
except ImportError as _error:
    sys.exit('cannot import velto (%s); run the examples with scripts/example.sh <name>' % _error)

ENDED = 'eyetracker_notification_connection_lost'


def show(sample):
    def point(eye):
        x, y = sample[eye + '_gaze_point_on_display_area']
        return '    (no gaze)   ' if math.isnan(x) else '(%6.3f, %6.3f)' % (x, y)

    def pupil(eye):
        diameter = sample[eye + '_pupil_diameter']
        return '  -  ' if math.isnan(diameter) else '%.2f' % diameter

    print('%14d  left %s pupil %s  right %s pupil %s' % (
        sample['system_time_stamp'], point('left'), pupil('left'), point('right'), pupil('right')))


def play(tracker, args):
    print('%s (serial %s) at %g Hz, speed %g%s' % (tracker.name, tracker.serial_number,
                                                  tracker.frequency, args.speed,
                                                  ', looping' if args.loop else ''))
    count = 0
    ended = False
    with tracker.notifications() as notes, tracker.gaze() as gaze:
        end = time.time() + args.seconds
        while time.time() < end and not ended:
            ended = any(n['notification_type'] == ENDED for n in notes.drain())
            for sample in gaze.drain():
                show(sample)
                count += 1
            time.sleep(0.02)
    print('%d samples shown, %d dropped%s' % (count, gaze.dropped,
                                              '; the recording ended' if ended else ''))


def main(args):
    try:
        with velto.replay(args.recording, loop=args.loop, speed=args.speed) as tracker:
            play(tracker, args)
    except ValueError as error:  # the recording cannot be replayed: one line says why
        sys.stderr.write('replay: error: %s\n' % error)
        return 1
    return 0


if __name__ == '__main__':
    parser = cli.ArgumentParser(description='Replays a recording and prints its gaze data.')
    parser.add_argument('--recording', required=True,
                        help='the recording folder (e.g. demo-output)')
    parser.add_argument('--speed', type=cli.positive('the speed'), default=1.0,
                        help='pace relative to the recording (default 1)')
    parser.add_argument('--loop', action='store_true', help='play it again and again')
    parser.add_argument('--seconds', type=cli.seconds, default=60.0,
                        help='stop after this long at most (default 60)')
    sys.exit(cli.run(main, parser.parse_args()))
