"""Finds every eye tracker and prints its description, settings and geometry.

    scripts/example.sh discover
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import sys

try:
    import velto
    from velto import cli
except ImportError as _error:
    sys.exit('cannot import velto (%s); run the examples with scripts/example.sh <name>' % _error)


def show(tracker):
    print()
    print(tracker.name)
    # The description: plain attributes, read once at discovery.
    for label, value in (('address', tracker.address), ('serial number', tracker.serial_number),
                         ('model', tracker.model), ('firmware', tracker.firmware_version),
                         ('capabilities', ', '.join(tracker.capabilities) or '(none)'),
                         ('handle', tracker.handle)):
        print('  %-16s %s' % (label, value))
    # Settings and geometry: each property asks the tracker.
    print('  %-16s %s Hz (now %g Hz)' % ('frequencies', ', '.join('%g' % f for f in tracker.frequencies),
                                         tracker.frequency))
    print('  %-16s %s (now %s)' % ('tracking modes', ', '.join(tracker.modes), tracker.mode))
    area = tracker.display_area
    print('  %-16s %g x %g mm, top left at (%g, %g, %g) mm'
          % (('display area', area.width, area.height) + area.top_left))
    print('  %-16s centre at (%g, %g, %g) mm' % (('track box',) + tracker.track_box.center))
    # The same tracker again, opened by its address.
    with velto.open_tracker(address=tracker.address) as again:
        print('  %-16s %s' % ('by address', 'same handle' if again.handle == tracker.handle
                              else 'handle %d' % again.handle))


def main():
    cli.ArgumentParser(description='Lists every eye tracker found.').parse_args()
    trackers = velto.find_trackers()
    print('Device library %s' % velto.library_version())
    print('%d eye tracker(s) found' % len(trackers))
    for tracker in trackers:
        with tracker:
            show(tracker)


if __name__ == '__main__':
    sys.exit(cli.run(main))
