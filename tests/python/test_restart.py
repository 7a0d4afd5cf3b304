"""What outlives cleanup() and a restart: library subscriptions the module no
longer knows, and requests accepted before the cleanup."""
from __future__ import print_function

import sys
import threading
import time
import unittest

import velto_internal

import support


def gaze_record(stamp):
    record = support.GazeData()
    record.device_time_stamp = stamp
    record.system_time_stamp = stamp
    return record


class Restart(unittest.TestCase):
    def setUp(self):
        velto_internal.startup()
        support.reset()
        support.configure({'generate': False, 'trackers': [{'address': 'sim://a'},
                                                           {'address': 'sim://b'}]})
        self.a, self.b = [d['core_eyetracker'] for d in support.devices()]

    def tearDown(self):
        for device in (self.a, self.b):
            support.call('unsubscribe_from', (1, device))
        velto_internal.cleanup()

    def test_stale_library_subscription_reaches_no_later_subscriber(self):
        # Regression: after cleanup() and startup(), the library's still-live
        # subscription of tracker A delivered A's samples to a new subscriber of
        # tracker B that had been given the same slot.
        on_a = []
        self.assertEqual(support.call('subscribe_to', (1, self.a, on_a.append)), (0,))
        velto_internal.cleanup()
        velto_internal.startup()
        on_b = []
        self.assertEqual(support.call('subscribe_to', (1, self.b, on_b.append)), (0,))
        self.assertEqual(support.emit(1, self.a, gaze_record(1)), 1)  # the library delivers...
        self.assertEqual(support.emit(1, self.b, gaze_record(2)), 1)
        self.assertEqual([d['device_time_stamp'] for d in on_b], [2])  # ...only B's arrive
        self.assertEqual(on_a, [])
        # The caller ends the stale one with the old handle.
        self.assertEqual(support.call('unsubscribe_from', (1, self.a)), (0,))
        self.assertEqual(support.emit(1, self.a, gaze_record(3)), 0)

    def test_subscribe_queued_before_cleanup_leaves_nothing_live(self):
        # Regression: a subscribe_to queued just before cleanup() ran after the
        # registry teardown and left a live subscription holding its callable.
        received = []

        class Subscriber(object):
            def __call__(self, record):
                received.append(record)

        subscriber = Subscriber()
        results = []
        done = threading.Event()

        def on_result(result):
            results.append(result)
            done.set()

        # A request whose callback waits first, so that the subscription is
        # still queued when cleanup() empties the registry.
        blocker = threading.Event()
        velto_internal.call_function('get_sdk_version', (), lambda r: blocker.wait(2))
        velto_internal.call_function('subscribe_to', (1, self.a, subscriber), on_result)
        velto_internal.cleanup()
        blocker.set()
        self.assertTrue(done.wait(10))
        self.assertEqual(results, [(10,)])
        self.assertEqual(support.emit(1, self.a, gaze_record(1)), 0)  # not live at the library
        self.assertEqual(received, [])
        # No reference kept: only our name and getrefcount's argument remain
        # once the worker has released the request.
        deadline = time.time() + 5
        while sys.getrefcount(subscriber) > 2 and time.time() < deadline:
            time.sleep(0.01)
        self.assertEqual(sys.getrefcount(subscriber), 2)
        velto_internal.startup()


if __name__ == '__main__':
    unittest.main()
