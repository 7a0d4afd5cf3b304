"""The module surface and request execution: methods, refusals, ordering,
callbacks, references, restart and exit."""
import ctypes
import os
import subprocess
import sys
import textwrap
import threading
import unittest

import support
import velto_internal

PyErr_Occurred = ctypes.pythonapi.PyErr_Occurred
PyErr_Occurred.restype = ctypes.c_void_p

CHEAP = 'get_system_time_stamp'


def setUpModule():
    velto_internal.startup()


def tearDownModule():
    velto_internal.cleanup()


def run_script(body, timeout=60):
    """Runs a Python 2.7 script with the module on its path; returns (code, out, err)."""
    script = 'import sys, threading, time\nimport velto_internal as vi\n' + textwrap.dedent(body)
    env = dict(os.environ)
    proc = subprocess.Popen([sys.executable, '-c', script], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    try:
        out, err = proc.communicate()
    finally:
        timer.cancel()
    return proc.returncode, out, err


class Surface(unittest.TestCase):
    def test_methods_version_and_docs(self):
        self.assertEqual(velto_internal.__version__, '1.0.4')
        self.assertIsNone(velto_internal.__doc__)
        public = sorted(n for n in dir(velto_internal) if not n.startswith('__'))
        self.assertEqual(public, ['call_function', 'cleanup', 'get_kelmo_version', 'startup'])
        for name in public:
            self.assertEqual(getattr(velto_internal, name).__doc__, '')

    def test_get_kelmo_version_both_ways(self):
        support.reset()
        support.configure({'kelmo_version': [3, -1, 0, 2147483647]})
        self.assertEqual(velto_internal.get_kelmo_version('ignored'), (0, '3.-1.0.2147483647'))
        support.fail('velto_get_kelmo_api_version', 42, 0, 1)
        self.assertEqual(velto_internal.get_kelmo_version(), (42,))
        support.reset()


class Refusals(unittest.TestCase):
    def assert_refused(self, *args):
        called = []
        if len(args) == 3 and callable(args[2]):
            args = args[:2] + (lambda r: called.append(r),)
        self.assertEqual(velto_internal.call_function(*args), 10)
        self.assertIsNone(PyErr_Occurred(), 'a refusal must not leave a Python error set')
        # A request accepted afterwards runs after anything queued before it.
        support.call(CHEAP)
        self.assertEqual(called, [])

    def test_refusals_return_10_and_never_call_back(self):
        self.assert_refused('no_such_operation', (), lambda r: None)
        self.assert_refused('Terminate', (), lambda r: None)
        self.assert_refused(CHEAP, [], lambda r: None)
        self.assert_refused(CHEAP, None, lambda r: None)
        self.assert_refused(CHEAP, (), 'not callable')
        self.assert_refused(CHEAP, ())
        self.assert_refused(CHEAP, (), lambda r: None, 'extra')
        self.assert_refused(12, (), lambda r: None)
        self.assert_refused('get_system\0_time_stamp', (), lambda r: None)

    def test_tuple_subclass_is_accepted(self):
        class Args(tuple):
            pass
        result = support.call(CHEAP, Args())
        self.assertEqual(result[0], 0)
        self.assertIsInstance(result[1], long)

    def test_every_operation_name_is_accepted(self):
        names = ['terminate', 'get_system_time_stamp', 'get_sdk_version',
                 'find_all_eyetrackers', 'get_device', 'get_device_data',
                 'report_stream_error', 'subscribe_to', 'unsubscribe_from',
                 'get_all_gaze_output_frequencies', 'get_gaze_output_frequency',
                 'set_gaze_output_frequency', 'get_all_eye_tracking_modes',
                 'get_eye_tracking_mode', 'set_eye_tracking_mode', 'get_display_area',
                 'get_track_box', 'calibration_retrieve', 'calibration_apply',
                 'set_device_name', 'screen_based_calibration_enter_calibration_mode',
                 'screen_based_calibration_leave_calibration_mode',
                 'screen_based_calibration_collect_data',
                 'screen_based_calibration_discard_data',
                 'screen_based_calibration_compute_and_apply',
                 'screen_based_calibration_get_calibration_points']
        self.assertEqual(len(names), 26)
        # Arguments that no handler accepts: every operation but the three that
        # read none answers (10,); none is refused by call_function.
        no_arguments = ('terminate', 'get_system_time_stamp', 'get_sdk_version',
                        'find_all_eyetrackers')
        for name in names:
            if name in no_arguments:
                continue
            result = support.call(name, (1.5,))
            self.assertEqual(result, (10,), name)
        support.reset()


class Execution(unittest.TestCase):
    def test_callbacks_run_in_order_on_one_worker_thread_with_one_argument(self):
        seen = []
        done = threading.Event()
        count = 300

        def make(i):
            def callback(*args):
                seen.append((i, threading.current_thread().ident, args))
                if i == count - 1:
                    done.set()
            return callback

        for i in range(count):
            self.assertEqual(velto_internal.call_function(CHEAP, (), make(i)), 0)
        self.assertTrue(done.wait(20))
        self.assertEqual([s[0] for s in seen], range(count))
        threads = set(s[1] for s in seen)
        self.assertEqual(len(threads), 1)
        self.assertNotEqual(threads.pop(), threading.current_thread().ident)
        for _, _, args in seen:
            self.assertEqual(len(args), 1)
            self.assertIsInstance(args[0], tuple)
            self.assertEqual(args[0][0], 0)

    def test_time_stamps_increase(self):
        first = support.call(CHEAP)[1]
        second = support.call(CHEAP)[1]
        self.assertGreaterEqual(second, first)

    def test_callback_references_come_back(self):
        def callback(result):
            pass
        held = sys.getrefcount(callback)
        for _ in range(50):
            velto_internal.call_function(CHEAP, (), callback)
        support.call(CHEAP)
        self.assertEqual(sys.getrefcount(callback), held)

    def test_callable_inside_arguments_is_released(self):
        # Regression: a callable passed in the arguments of an operation that does not
        # keep it leaked one reference per request.
        def payload():
            pass
        held = sys.getrefcount(payload)
        for _ in range(20):
            support.call(CHEAP, (payload, (payload, 1)))
            support.call('get_device', (payload,))
            support.call('subscribe_to', ('x', 1, payload))
        self.assertEqual(sys.getrefcount(payload), held)

    def test_raising_callback_does_not_stop_the_worker_and_prints_nothing(self):
        code, out, err = run_script('''
            vi.startup()
            done = threading.Event()
            def bad(result):
                raise RuntimeError('boom')
            def good(result):
                sys.stdout.write('good %r\\n' % (result[0],))
                done.set()
            vi.call_function('get_system_time_stamp', (), bad)
            vi.call_function('get_system_time_stamp', (), good)
            assert done.wait(10)
            vi.cleanup()
            ''')
        self.assertEqual(code, 0, err)
        self.assertEqual(out, 'good 0\n')
        self.assertEqual(err, '')


class Lifecycle(unittest.TestCase):
    def test_cleanup_with_requests_queued_still_calls_back_each_once(self):
        code, out, err = run_script('''
            vi.startup()
            counts = [0] * 500
            done = threading.Event()
            def make(i):
                def cb(result):
                    counts[i] += 1
                    if i == 499:
                        done.set()
                return cb
            for i in range(500):
                assert vi.call_function('get_system_time_stamp', (), make(i)) == 0
            assert vi.cleanup() is None
            assert vi.call_function('get_system_time_stamp', (), make(0)) == 10
            assert done.wait(20)
            time.sleep(0.2)
            assert counts == [1] * 500, counts
            print 'ok'
            ''')
        self.assertEqual(code, 0, err)
        self.assertEqual(out, 'ok\n')

    def test_restart_while_the_old_worker_drains_keeps_order_and_loses_nothing(self):
        code, out, err = run_script('''
            order = []
            done = threading.Event()
            def make(i):
                def cb(result):
                    order.append(i)
                    if i == 1999:
                        done.set()
                return cb
            vi.startup()
            for i in range(1000):
                assert vi.call_function('get_system_time_stamp', (), make(i)) == 0
            vi.cleanup()
            vi.startup()
            vi.startup()   # a second startup without cleanup is safe too
            for i in range(1000, 2000):
                assert vi.call_function('get_system_time_stamp', (), make(i)) == 0
            assert done.wait(30)
            time.sleep(0.2)
            assert order == range(2000), order[:20]
            vi.cleanup()
            print 'ok'
            ''')
        self.assertEqual(code, 0, err)
        self.assertEqual(out, 'ok\n')

    def test_startup_and_cleanup_ignore_arguments(self):
        code, out, err = run_script('''
            assert vi.call_function('get_system_time_stamp', (), lambda r: None) == 10
            assert vi.startup(1, 'two', None) is None
            assert vi.cleanup(3) is None
            assert vi.cleanup() is None
            print 'ok'
            ''')
        self.assertEqual(code, 0, err)
        self.assertEqual(out, 'ok\n')

    def test_exit_at_awkward_moments_is_clean(self):
        scripts = {
            'queued, no cleanup': '''
                vi.startup()
                for i in range(2000):
                    vi.call_function('get_system_time_stamp', (), lambda r: None)
                ''',
            'right after cleanup': '''
                vi.startup()
                for i in range(2000):
                    vi.call_function('get_system_time_stamp', (), lambda r: None)
                vi.cleanup()
                ''',
            'exit raised inside a callback': '''
                vi.startup()
                done = threading.Event()
                def cb(result):
                    done.set()
                    sys.exit(3)
                vi.call_function('get_system_time_stamp', (), cb)
                done.wait(5)
                ''',
            'never started': '''
                pass
                ''',
        }
        for name, body in sorted(scripts.items()):
            for _ in range(3):
                code, out, err = run_script(body)
                self.assertEqual((code, err), (0, ''), name)


if __name__ == '__main__':
    unittest.main()
