"""The module surface and request execution: methods, how arguments reach
the library on each Python version, every operation's status pass-through,
ordering, worker threads, references, restart."""
import threading
import unittest

import support
from support import LONG, NOT_TEXT, call, calls, native
from support import setUpModule, tearDownModule  # noqa: F401 (run by unittest)

import velto_internal

CHEAP = 'get_system_time_stamp'
# The library function whose failure ends each operation, where it is not
# 'velto_' + the operation's name.
LAST_CALLED = {'get_device': 'velto_get_eyetracker', 'get_device_data': 'velto_get_property',
               'subscribe_to': 'velto_subscribe_to_gaze_data',
               'unsubscribe_from': 'velto_unsubscribe_from_gaze_data',
               'calibration_retrieve': 'velto_retrieve_calibration_data',
               'calibration_apply': 'velto_apply_calibration_data'}


def valid_arguments(name, handle):
    """Arguments every operation accepts (the handle first where it takes one)."""
    if name in ('terminate', 'get_system_time_stamp', 'get_sdk_version',
                'find_all_eyetrackers'):
        return ()
    return {'get_device': ('velto-tcp://192.168.71.20',),
            'report_stream_error': (handle, 'lost frames'),
            'subscribe_to': (1, handle, len), 'unsubscribe_from': (1, handle),
            'set_gaze_output_frequency': (handle, 60.0),
            'set_eye_tracking_mode': (handle, 'Human'),
            'calibration_apply': (handle, b'VCAL'), 'set_device_name': (handle, 'Bench'),
            'screen_based_calibration_collect_data': (handle, 0.5, 0.5),
            'screen_based_calibration_discard_data': (handle, 0.5, 0.5),
            }.get(name, (handle,))


class Surface(unittest.TestCase):
    def test_methods_version_and_docs(self):
        self.assertEqual(velto_internal.__version__, '1.0.4')
        self.assertIsNone(velto_internal.__doc__)
        public = sorted(n for n in dir(velto_internal) if not n.startswith('__'))
        self.assertEqual(public, ['call_function', 'cleanup', 'get_kelmo_version', 'startup'])
        for name in public:
            self.assertEqual(getattr(velto_internal, name).__doc__, support.EMPTY_DOC)

    def test_get_kelmo_version_both_ways(self):
        support.reset()
        support.configure({'kelmo_version': [3, -1, 0, 2147483647]})
        version = velto_internal.get_kelmo_version('ignored')
        self.assertEqual(version, (0, '3.-1.0.2147483647'))
        self.assertIs(type(version[1]), str)
        support.fail('velto_get_kelmo_api_version', 42, 0, 1)
        self.assertEqual(velto_internal.get_kelmo_version(), (42,))
        support.reset()


class Conversions(unittest.TestCase):
    """How argument items reach the library, on 2.7 and 3.x alike."""

    def setUp(self):
        support.reset()
        self.handle = support.handles()[0]

    def name_after(self, name):
        self.assertEqual(call('set_device_name', (self.handle, name)), (0,))
        return call('get_device_data', (self.handle,))[1]['device_name']

    def test_text_arguments_and_texts_in_results(self):
        class Text(str):
            pass
        # UTF-8, and bytes that are not UTF-8, come back as they went: a name
        # read from the library can be set again.
        for name in ['Bench 3', b'Bench 4', Text('Bench 5'), native(b'Gr\xc3\xbcn \xe2\x82\xac'),
                     native(b'Caf\xe9\xff')]:
            got = self.name_after(name)
            self.assertEqual(got, native(support.to_bytes(name)))
            self.assertIs(type(got), str)
        self.assertEqual(call('set_device_name', (self.handle, NOT_TEXT)), (10,))
        support.reset()
        support.world([{'device_name': (b'Gr\xc3\xbcn').decode('utf-8')}])
        self.assertEqual(support.devices()[0]['device_name'], native(b'Gr\xc3\xbcn'))

    def test_integer_and_float_arguments(self):
        # Regression: an int handle wider than 32 bits was cut to its low 32 bits and addressed another (or no) device.
        # Handles: a whole 64-bit value whatever its Python type, 32-bit values
        # sign-extended.
        described = call('get_device_data', (int(self.handle),))
        self.assertEqual(described, (0, support.devices()[0]))
        self.assertIs(type(described[1]['core_eyetracker']), LONG)
        for handle in (-1, 5, 2147483647, LONG(7), True):
            support.clear_calls()
            self.assertEqual(call('get_device_data', (handle,)), (2,))
            self.assertEqual(calls(), [{'function': 'velto_get_property', 'index': 0,
                                        'handle': int(handle)}])
        # Floats narrowed to 32 bits; an integer is no float.
        support.clear_calls()
        self.assertEqual(call('set_gaze_output_frequency', (self.handle, 23.976)), (0,))
        self.assertEqual(calls()[0]['frequency'], support.f32(23.976))
        for frequency in (60, LONG(60), 2 ** 40, True):
            self.assertEqual(call('set_gaze_output_frequency', (self.handle, frequency)), (10,))
        # Stream types: 32-bit integers, whatever their Python type.
        for stream in (1, LONG(1)):
            self.assertEqual(call('subscribe_to', (stream, self.handle, len)), (0,))
            self.assertEqual(call('unsubscribe_from', (stream, self.handle)), (0,))


class Operations(unittest.TestCase):
    def test_every_operation_passes_the_library_status_through_alone(self):
        support.reset()
        handle = support.handles()[0]
        self.assertEqual(len(support.OPERATIONS), 26)
        for status, name in enumerate(support.OPERATIONS, 40):
            args = valid_arguments(name, handle)
            support.fail(LAST_CALLED.get(name, 'velto_' + name), status, 0, 1)
            self.assertEqual(call(name, args), (status,), name)
            if args and args[0] == handle:
                # A handle the library does not know: its own status, alone.
                self.assertEqual(call(name, (7,) + args[1:]), (2,), name)
        support.reset()


class References(unittest.TestCase):
    def test_callback_and_argument_references_come_back(self):
        # Regression: a callable passed in the arguments of an operation that does not keep it leaked one reference per request.
        def callback(result):
            pass

        def payload():
            pass
        held = support.refcounts([callback, payload])
        for _ in range(20):
            velto_internal.call_function(CHEAP, (), callback)
            call(CHEAP, (payload, (payload, 1)))
            call('get_device', (payload,))
            call('subscribe_to', ('x', 1, payload))
        self.assertEqual(support.refcounts([callback, payload]), held)


class Lifecycle(unittest.TestCase):
    def tearDown(self):
        velto_internal.cleanup()
        velto_internal.startup()

    def test_requests_run_once_in_order_on_worker_threads_across_a_restart(self):
        seen = []

        def make(i):
            return lambda *args: seen.append((i, threading.current_thread().ident, args))
        for i in range(1000):
            self.assertEqual(velto_internal.call_function(CHEAP, (), make(i)), 0)
        # cleanup() returns at once and refuses what comes after; what was
        # queued still runs. Both methods ignore any arguments.
        self.assertIsNone(velto_internal.cleanup(3, 'ignored'))
        self.assertEqual(velto_internal.call_function(CHEAP, (), make(-1)), 10)
        self.assertIsNone(velto_internal.cleanup())
        # A new worker starts once the old one has drained; a second startup
        # without cleanup is safe too.
        self.assertIsNone(velto_internal.startup(1, 'ignored', None))
        velto_internal.startup()
        for i in range(1000, 2000):
            self.assertEqual(velto_internal.call_function(CHEAP, (), make(i)), 0)
        call(CHEAP, timeout=30)
        self.assertEqual([s[0] for s in seen], list(range(2000)))
        self.assertEqual(len(set(s[1] for s in seen[:1000])), 1)
        self.assertNotIn(threading.current_thread().ident, set(s[1] for s in seen))
        self.assertEqual(set((len(s[2]), type(s[2][0]), s[2][0][0]) for s in seen),
                         set([(1, tuple, 0)]))


if __name__ == '__main__':
    unittest.main()
