"""subscribe_to / unsubscribe_from, the subscription registry, the log slot,
delivery to slots, and the registry teardown of cleanup()."""
import sys
import unittest

import support
import velto_internal

WORLD = {'generate': False,
         'trackers': [{'address': 'tet-tcp://sim-a', 'capabilities': 7},
                      {'address': 'tet-tcp://sim-b', 'capabilities': 7}]}


def setUpModule():
    velto_internal.startup()


def tearDownModule():
    velto_internal.cleanup()


class Recorder(object):
    """A subscriber that keeps every dict it receives."""

    def __init__(self):
        self.items = []

    def __call__(self, record):
        self.items.append(record)


def subscribe(stream, device, fn):
    return support.call('subscribe_to', (stream, device, fn))


def unsubscribe(stream, device):
    return support.call('unsubscribe_from', (stream, device))


def user_data(function='velto_subscribe_to_gaze_data'):
    """The slot index each logged subscribe call handed the library: the low
    24 bits of the user-data word (the bits above name the subscription)."""
    return [entry['user_data'] & 0xFFFFFF for entry in support.calls(function)]


def gaze():
    record = support.GazeData()
    record.system_time_stamp = 1
    return record


def fresh_module():
    """An empty registry, no log subscription and a clean simulated world."""
    velto_internal.cleanup()
    velto_internal.startup()
    support.reset()
    support.configure(WORLD)
    unsubscribe(0, 0)  # sets the log slot back to -1
    support.clear_calls()


class Base(unittest.TestCase):
    def setUp(self):
        fresh_module()
        self.a, self.b = [d['core_eyetracker'] for d in support.devices()]
        support.clear_calls()


class Registry(Base):
    def test_slots_fill_from_zero_and_grow_by_ten_keeping_indices(self):
        recorders = [Recorder() for _ in range(11)]
        for r in recorders:
            self.assertEqual(subscribe(1, self.a, r), (0,))
        # The eleventh needed growth and got the first new slot; all earlier
        # subscriptions keep theirs and go on receiving.
        self.assertEqual(user_data(), list(range(11)))
        self.assertEqual(support.emit(1, self.a, gaze()), 11)
        self.assertEqual([len(r.items) for r in recorders], [1] * 11)
        # Filling up to 20 and past it grows once more, to slot 20.
        more = [Recorder() for _ in range(10)]
        for r in more:
            self.assertEqual(subscribe(2, self.b, r), (0,))
        self.assertEqual(user_data('velto_subscribe_to_external_signal_data'),
                         list(range(11, 21)))

    def test_freed_slot_is_reused_first(self):
        for stream in (1, 2, 3, 4, 5):
            self.assertEqual(subscribe(stream, self.a, Recorder()), (0,))
        self.assertEqual(unsubscribe(4, self.a), (0,))  # slot 3
        self.assertEqual(subscribe(6, self.a, Recorder()), (0,))
        self.assertEqual(user_data('velto_subscribe_to_eye_image_as_gif'), [3])
        self.assertEqual(subscribe(6, self.b, Recorder()), (0,))
        self.assertEqual(user_data('velto_subscribe_to_eye_image_as_gif'), [3, 5])

    def test_stream_type_outside_table(self):
        fn = Recorder()
        before = sys.getrefcount(fn)
        for stream in (7, -1, 2 ** 31 - 1):
            self.assertEqual(subscribe(stream, self.a, fn), (10,))
            self.assertEqual(sys.getrefcount(fn), before)
            self.assertEqual(unsubscribe(stream, self.a), (10,))
        self.assertEqual([c['function'] for c in support.calls()
                          if 'subscribe' in c['function']], [])
        # Nothing left behind: the next subscription starts at slot 0.
        self.assertEqual(subscribe(1, self.a, fn), (0,))
        self.assertEqual(user_data(), [0])

    def test_arguments_refused_before_any_subscription(self):
        fn = Recorder()
        before = sys.getrefcount(fn)
        self.assertEqual(subscribe(1, self.a, 5), (10,))          # not a callable
        self.assertEqual(subscribe(1, self.a, 'text'), (10,))
        self.assertEqual(support.call('subscribe_to', ('1', self.a, fn)), (10,))
        self.assertEqual(support.call('subscribe_to', (1, 'x', fn)), (10,))
        self.assertEqual(support.call('subscribe_to', (1, self.a)), (10,))
        self.assertEqual(support.call('unsubscribe_from', (1,)), (10,))
        self.assertEqual(support.call('unsubscribe_from', (1.0, self.a)), (10,))
        # The callable of the refused argument tuples was not kept.
        self.assertEqual(sys.getrefcount(fn), before)
        self.assertEqual(support.calls(), [])
        self.assertEqual(subscribe(1, self.a, fn), (0,))
        self.assertEqual(user_data(), [0])

    def test_library_refusal_clears_the_whole_pair(self):
        first, second = Recorder(), Recorder()
        b1, b2 = sys.getrefcount(first), sys.getrefcount(second)
        self.assertEqual(subscribe(1, self.a, first), (0,))
        support.fail('velto_subscribe_to_gaze_data', 6, 0, 1)
        self.assertEqual(subscribe(1, self.a, second), (6,))
        self.assertEqual(len(support.calls('velto_unsubscribe_from_gaze_data')), 1)
        self.assertEqual((sys.getrefcount(first), sys.getrefcount(second)), (b1, b2))
        self.assertEqual(support.emit(1, self.a, gaze()), 0)
        self.assertEqual(subscribe(1, self.a, second), (0,))
        self.assertEqual(user_data(), [0, 1, 0])

    def test_two_subscriptions_of_one_pair(self):
        one, two, other = Recorder(), Recorder(), Recorder()
        base = [sys.getrefcount(x) for x in (one, two, other)]
        self.assertEqual(subscribe(1, self.a, one), (0,))
        self.assertEqual(subscribe(1, self.a, two), (0,))
        self.assertEqual(subscribe(1, self.b, other), (0,))
        self.assertEqual(user_data(), [0, 1, 2])
        self.assertEqual(support.emit(1, self.a, gaze()), 2)
        self.assertEqual((len(one.items), len(two.items), len(other.items)), (1, 1, 0))
        self.assertEqual(unsubscribe(1, self.a), (0,))
        # Both callables of the pair were released, the other pair's kept.
        self.assertEqual([sys.getrefcount(x) for x in (one, two, other)],
                         [base[0], base[1], base[2] + 1])
        self.assertEqual(support.emit(1, self.a, gaze()), 0)
        self.assertEqual(support.emit(1, self.b, gaze()), 1)
        self.assertEqual(len(other.items), 1)

    def test_unsubscribe_without_subscription_reaches_library(self):
        self.assertEqual(unsubscribe(3, self.a), (0,))
        self.assertEqual(len(support.calls('velto_unsubscribe_from_time_synchronization_data')), 1)
        support.fail('velto_unsubscribe_from_notifications', 7, 0, 1)
        self.assertEqual(unsubscribe(5, self.b), (7,))
        # A library refusal does not bring removed entries back.
        fn = Recorder()
        before = sys.getrefcount(fn)
        self.assertEqual(subscribe(5, self.b, fn), (0,))
        support.fail('velto_unsubscribe_from_notifications', 7, 0, 1)
        self.assertEqual(unsubscribe(5, self.b), (7,))
        self.assertEqual(sys.getrefcount(fn), before)

    def test_records_for_empty_and_out_of_range_slots_call_nothing(self):
        # The library keeps delivering to slot 0 after the module dropped it.
        support.fail('velto_unsubscribe_from_gaze_data', 0, 0, -1)
        fn = Recorder()
        self.assertEqual(subscribe(1, self.a, fn), (0,))
        self.assertEqual(unsubscribe(1, self.a), (0,))
        self.assertEqual(support.emit(1, self.a, gaze()), 1)
        self.assertEqual(fn.items, [])
        # After cleanup the registry has no slots at all.
        self.assertEqual(subscribe(1, self.b, fn), (0,))
        velto_internal.cleanup()
        velto_internal.startup()
        self.assertEqual(support.emit(1, self.b, gaze()), 1)
        self.assertEqual(fn.items, [])

    def test_exception_of_subscriber_is_dropped(self):
        seen = []

        def angry(record):
            seen.append(record['system_time_stamp'])
            raise RuntimeError('subscriber failure')

        self.assertEqual(subscribe(1, self.a, angry), (0,))
        for _ in range(3):
            self.assertEqual(support.emit(1, self.a, gaze()), 1)
        self.assertEqual(seen, [1, 1, 1])
        self.assertEqual(support.call('get_system_time_stamp')[0], 0)


class LogStream(Base):
    def test_second_log_subscription_is_refused_and_ends_the_first(self):
        first, second, third = Recorder(), Recorder(), Recorder()
        base = [sys.getrefcount(x) for x in (first, second)]
        self.assertEqual(subscribe(0, 1, first), (0,))
        self.assertEqual(support.emit_log(5, 0, 1, 'hello'), 1)
        self.assertEqual(len(first.items), 1)
        self.assertEqual(subscribe(0, 1, second), (11,))
        # The failure path removed every log subscription of the handle and
        # ended the library's log subscription.
        self.assertEqual([sys.getrefcount(x) for x in (first, second)], base)
        self.assertEqual(len(support.calls('velto_logging_unsubscribe')), 1)
        self.assertEqual(support.emit_log(6, 0, 1, 'lost'), 0)
        self.assertEqual(subscribe(0, 1, third), (0,))
        self.assertEqual(support.emit_log(7, 1, 2, 'again'), 1)
        self.assertEqual([r['message'] for r in third.items], ['again'])
        self.assertEqual(len(first.items), 1)

    def test_unsubscribe_with_another_handle(self):
        kept, later = Recorder(), Recorder()
        before = sys.getrefcount(kept)
        self.assertEqual(subscribe(0, 5, kept), (0,))
        self.assertEqual(unsubscribe(0, 6), (0,))
        self.assertEqual(support.emit_log(1, 0, 0, 'x'), 0)
        # The library's log subscription ended, the registry entry stayed.
        self.assertEqual(sys.getrefcount(kept), before + 1)
        self.assertEqual(subscribe(0, 6, later), (0,))
        self.assertEqual(support.emit_log(2, 0, 0, 'y'), 1)
        self.assertEqual([r['message'] for r in later.items], ['y'])
        self.assertEqual(kept.items, [])
        self.assertEqual(unsubscribe(0, 5), (0,))
        self.assertEqual(sys.getrefcount(kept), before)

    def test_no_log_subscription(self):
        self.assertEqual(support.emit_log(1, 0, 0, 'nobody'), 0)
        self.assertEqual(unsubscribe(0, 123), (0,))
        self.assertEqual(len(support.calls('velto_logging_unsubscribe')), 1)


class Teardown(Base):
    def test_cleanup_releases_callables_and_keeps_library_subscriptions(self):
        gaze_fn, log_fn, events = Recorder(), Recorder(), Recorder()
        base = [sys.getrefcount(x) for x in (gaze_fn, log_fn, events)]
        self.assertEqual(subscribe(1, self.a, gaze_fn), (0,))
        self.assertEqual(subscribe(1, self.a, events), (0,))
        self.assertEqual(subscribe(0, 0, log_fn), (0,))
        velto_internal.cleanup()
        self.assertEqual([sys.getrefcount(x) for x in (gaze_fn, log_fn, events)], base)
        velto_internal.startup()
        # The library still delivers, but nothing is registered any more.
        self.assertEqual(support.emit(1, self.a, gaze()), 2)
        self.assertEqual(support.emit_log(1, 0, 0, 'x'), 1)
        self.assertEqual((gaze_fn.items, log_fn.items, events.items), ([], [], []))
        # The log slot survived cleanup: the first log subscription is refused
        # (and ends the library's), the next one succeeds.
        self.assertEqual(subscribe(0, 0, log_fn), (11,))
        self.assertEqual(subscribe(0, 0, log_fn), (0,))
        self.assertEqual(support.emit_log(2, 0, 0, 'y'), 1)
        self.assertEqual(len(log_fn.items), 1)

    def test_stale_log_slot_never_reaches_another_stream(self):
        # Fault: a log slot kept across cleanup() named a slot reused by another stream.
        log_fn, gaze_fn = Recorder(), Recorder()
        self.assertEqual(subscribe(0, 0, log_fn), (0,))
        velto_internal.cleanup()
        velto_internal.startup()
        self.assertEqual(subscribe(1, self.a, gaze_fn), (0,))
        self.assertEqual(user_data(), [0])
        self.assertEqual(support.emit_log(3, 0, 0, 'for the log only'), 1)
        self.assertEqual(gaze_fn.items, [])
        self.assertEqual(support.emit(1, self.a, gaze()), 1)
        self.assertEqual(len(gaze_fn.items), 1)
        self.assertEqual(log_fn.items, [])

    def test_registry_regrows_from_zero_after_cleanup(self):
        for _ in range(12):
            self.assertEqual(subscribe(2, self.a, Recorder()), (0,))
        velto_internal.cleanup()
        velto_internal.startup()
        support.clear_calls()
        self.assertEqual(subscribe(3, self.b, Recorder()), (0,))
        self.assertEqual(user_data('velto_subscribe_to_time_synchronization_data'), [0])


if __name__ == '__main__':
    unittest.main()
