"""Starts the module against the (simulated) eye trackers, prints the versions
and the description of every tracker, and cleans up."""
from __future__ import print_function

import threading

import velto_internal


def call(name, args=(), timeout=10.0):
    """Runs one operation and waits for its result tuple."""
    done = threading.Event()
    box = []

    def callback(result):
        box.append(result)
        done.set()

    if velto_internal.call_function(name, args, callback) != 0:
        raise RuntimeError('%s was refused' % name)
    if not done.wait(timeout):
        raise RuntimeError('%s timed out' % name)
    return box[0]


def main():
    velto_internal.startup()
    try:
        print('velto_internal', velto_internal.__version__)
        print('engine version', velto_internal.get_kelmo_version())
        print('sdk version', call('get_sdk_version'))
        status, trackers = call('find_all_eyetrackers')
        print('found %d eye tracker(s), status %d' % (len(trackers), status))
        for tracker in trackers:
            print('-', tracker['device_name'])
            for key in sorted(tracker):
                print('    %-20s %r' % (key, tracker[key]))
    finally:
        velto_internal.cleanup()


if __name__ == '__main__':
    main()
