"""subscribe_to / unsubscribe_from end to end: the references held on the
subscribed callables, the library's subscriptions behind them, the log
stream's single subscriber, and what cleanup() ends and what it leaves."""
import unittest

import support
from support import Collector, call, calls, emit, emit_log, refcounts
from support import setUpModule, tearDownModule  # noqa: F401 (run by unittest)

import velto_internal


def subscribe(stream, device, function):
    return call('subscribe_to', (stream, device, function))


def unsubscribe(stream, device):
    return call('unsubscribe_from', (stream, device))


def restart():
    velto_internal.cleanup()
    velto_internal.startup()


class Subscriptions(unittest.TestCase):
    def setUp(self):
        restart()  # an empty registry
        support.reset()
        self.a, self.b = support.world([{'address': 'velto-sim://a', 'capabilities': 7},
                                        {'address': 'velto-sim://b', 'capabilities': 7}])
        unsubscribe(0, 0)  # no log subscription
        support.clear_calls()
        self.gaze = support.GazeData()

    def test_references_follow_the_subscriptions(self):
        one, two, other, refused = fns = [Collector() for _ in range(4)]
        held = refcounts(fns)
        self.assertEqual([subscribe(1, self.a, one), subscribe(1, self.a, two),
                          subscribe(1, self.b, other)], [(0,)] * 3)
        self.assertEqual(refcounts(fns), [held[0] + 1, held[1] + 1, held[2] + 1, held[3]])
        self.assertEqual(emit(1, self.a, self.gaze), 2)
        self.assertEqual(list(len(f.items) for f in fns), [1, 1, 0, 0])
        # One unsubscribe ends every subscription of the pair, only those.
        self.assertEqual(unsubscribe(1, self.a), (0,))
        self.assertEqual(refcounts(fns), [held[0], held[1], held[2] + 1, held[3]])
        self.assertEqual(emit(1, self.a, self.gaze), 0)
        # A refused subscription ends the live one of its pair too, at the library as well.
        support.fail('velto_subscribe_to_gaze_data', 6, 0, 1)
        self.assertEqual(subscribe(1, self.b, refused), (6,))
        self.assertEqual(len(calls('velto_unsubscribe_from_gaze_data')), 2)
        self.assertEqual(emit(1, self.b, self.gaze), 0)
        # Stream types outside the table: refused, nothing kept, nothing asked of the library.
        support.clear_calls()
        for stream in (7, -1, 2 ** 31 - 1):
            self.assertEqual(subscribe(stream, self.a, refused), (10,))
            self.assertEqual(unsubscribe(stream, self.a), (10,))
        self.assertEqual(calls(), [])
        self.assertEqual(refcounts(fns), held)

    def test_unsubscribe_asks_the_library_whatever_the_module_holds(self):
        self.assertEqual(unsubscribe(3, self.a), (0,))
        self.assertEqual(len(calls('velto_unsubscribe_from_time_synchronization_data')), 1)
        # A library refusal still ends the module's subscriptions.
        fn = Collector()
        held = refcounts([fn])
        self.assertEqual(subscribe(5, self.b, fn), (0,))
        support.fail('velto_unsubscribe_from_notifications', 7, 0, 1)
        self.assertEqual(unsubscribe(5, self.b), (7,))
        self.assertEqual(refcounts([fn]), held)

    def test_the_log_stream_has_one_subscriber(self):
        first, second, third, later = fns = [Collector() for _ in range(4)]
        held = refcounts(fns)
        self.assertEqual(subscribe(0, 1, first), (0,))
        self.assertEqual(emit_log(5, 0, 1, 'hello'), 1)
        # A second subscriber is refused and ends the first one, at the library too.
        self.assertEqual(subscribe(0, 1, second), (11,))
        self.assertEqual(refcounts(fns), held)
        self.assertEqual(len(calls('velto_logging_unsubscribe')), 1)
        self.assertEqual(emit_log(6, 0, 1, 'lost'), 0)
        # Unsubscribing with another device argument ends the library's log
        # subscription but not the module's.
        self.assertEqual(subscribe(0, 5, third), (0,))
        self.assertEqual(unsubscribe(0, 6), (0,))
        self.assertEqual(emit_log(7, 0, 0, 'x'), 0)
        self.assertEqual(refcounts(fns)[2], held[2] + 1)
        self.assertEqual(subscribe(0, 6, later), (0,))
        self.assertEqual(emit_log(8, 0, 0, 'y'), 1)
        self.assertEqual(list([r['message'] for r in f.items] for f in fns),
                         [['hello'], [], [], ['y']])
        self.assertEqual(unsubscribe(0, 5), (0,))
        self.assertEqual(unsubscribe(0, 6), (0,))
        self.assertEqual(refcounts(fns), held)

    def test_cleanup_releases_callables_and_leaves_library_subscriptions(self):
        # Regression: a log slot kept across cleanup() named a slot reused by another stream.
        gaze_fn, log_fn, new_gaze = fns = [Collector() for _ in range(3)]
        held = refcounts(fns)
        self.assertEqual(subscribe(1, self.a, gaze_fn), (0,))
        self.assertEqual(subscribe(0, 0, log_fn), (0,))
        restart()
        self.assertEqual(refcounts(fns), held)
        # The library still delivers, but nothing is registered any more.
        self.assertEqual(emit(1, self.a, self.gaze), 1)
        self.assertEqual(emit_log(1, 0, 0, 'x'), 1)
        self.assertEqual(subscribe(1, self.b, new_gaze), (0,))
        self.assertEqual(emit_log(2, 0, 0, 'for the log only'), 1)
        self.assertEqual(emit(1, self.b, self.gaze), 1)
        self.assertEqual(list(len(f.items) for f in fns), [0, 0, 1])
        # The library's log subscription survived: the next one is refused (and
        # ends it), the one after succeeds.
        self.assertEqual(subscribe(0, 0, log_fn), (11,))
        self.assertEqual(subscribe(0, 0, log_fn), (0,))
        self.assertEqual(emit_log(3, 0, 0, 'y'), 1)
        self.assertEqual(len(log_fn.items), 1)
        for stream, device in [(0, 0), (1, self.a), (1, self.b)]:
            self.assertEqual(unsubscribe(stream, device), (0,))
        self.assertEqual(refcounts(fns), held)


if __name__ == '__main__':
    unittest.main()
