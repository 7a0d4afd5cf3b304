"""Bad input: every operation (and junk names) with random argument tuples of
every awkward kind. call_function must answer 0 or 10 as an int and never
raise; each accepted request's callback is called exactly once with a tuple
whose first item is an int status; nothing crashes, and every object handed in
gets its references back. And, case by case, every operation answers (10,)
without calling the library for an argument of the wrong kind or a missing one.

VELTO_BAD_INPUT_SEED repeats a run (the seed is printed on failure);
VELTO_BAD_INPUT_CASES sets the number of random cases.
"""
import gc
import os
import random
import sys
import threading
import unittest

import support
from support import LONG, NOT_TEXT, OPERATIONS, PY3, SANITIZED
from support import setUpModule, tearDownModule  # noqa: F401 (run by unittest)

import velto_internal

SEED = int(os.environ.get('VELTO_BAD_INPUT_SEED') or random.SystemRandom().randint(0, 2 ** 31))
CASES = int(os.environ.get('VELTO_BAD_INPUT_CASES') or (6000 if SANITIZED else 20000))
BATCH = 250

# Argument letters each operation parses, to build near-miss tuples.
SHAPES = {
    'terminate': '', 'get_system_time_stamp': '', 'get_sdk_version': '',
    'find_all_eyetrackers': '', 'get_device': 's', 'get_device_data': 'L',
    'report_stream_error': 'Ls', 'subscribe_to': 'iLO', 'unsubscribe_from': 'iL',
    'get_all_gaze_output_frequencies': 'L', 'get_gaze_output_frequency': 'L',
    'set_gaze_output_frequency': 'Lf', 'get_all_eye_tracking_modes': 'L',
    'get_eye_tracking_mode': 'L', 'set_eye_tracking_mode': 'Ls', 'get_display_area': 'L',
    'get_track_box': 'L', 'calibration_retrieve': 'L', 'calibration_apply': 'Ls',
    'set_device_name': 'Ls', 'screen_based_calibration_enter_calibration_mode': 'L',
    'screen_based_calibration_leave_calibration_mode': 'L',
    'screen_based_calibration_collect_data': 'Lff',
    'screen_based_calibration_discard_data': 'Lff',
    'screen_based_calibration_compute_and_apply': 'L',
    'screen_based_calibration_get_calibration_points': 'L',
}
# Per parser letter: a value of the right kind and values of wrong kinds.
RIGHT = {'L': None, 'i': 1, 'f': 0.5, 's': 'x', 'O': len}  # 'L': the tracker's handle
WRONG = {'L': [1.5, '1', None, (1,), [1]], 'i': [1.5, '1', None],
         'f': [60, LONG(60), True, '60', None], 's': [5, 1.5, None, NOT_TEXT, ('a',)],
         'O': [5, 'text', None]}
TRACKERS = [{'address': 'velto-sim://bad-a', 'capabilities': 7},
            {'address': 'velto-sim://bad-b', 'capabilities': 0}]
EMPTY_TEXT = u''  # one shared object, like the singletons
OPERATION_BYTES = set(support.to_bytes(name) for name in OPERATIONS)


# ---- awkward objects ------------------------------------------------------------

class Raises(object):
    """A callable that raises `error`: any exception, SystemExit and KeyboardInterrupt too."""
    def __init__(self, error=ValueError):
        self.error = error

    def __call__(self, *args):
        raise self.error('raised on purpose')


class Reenters(object):
    """Calls into the module from inside a result or stream callback."""
    def __call__(self, *args):
        velto_internal.get_kelmo_version()
        velto_internal.call_function('get_system_time_stamp', (), lambda r: None)
        velto_internal.call_function('no_such_operation', (), lambda r: None)


class CallableStr(str):
    def __call__(self, *args):
        return None


StrSub, TupleSub, IntSub, LongSub, FloatSub = [type('Sub', (base,), {})
                                               for base in (str, tuple, int, LONG, float)]


class OldStyle:
    pass


class OldStyleCallable:
    def __call__(self, *args):
        raise RuntimeError('old-style call')


class GetattrRaises:
    """callable() of an old-style instance runs __getattr__('__call__')."""
    def __getattr__(self, name):
        raise KeyError(name)


class GetattrCallsModule:
    """Runs module methods from inside the argument conversion."""
    def __getattr__(self, name):
        velto_internal.get_kelmo_version()
        velto_internal.call_function('get_system_time_stamp', (), lambda r: None)
        raise AttributeError(name)


def raising_function(*args):
    raise TypeError('function raised')


def deep_tuple(depth):
    t = ()
    for _ in range(depth):
        t = (t,)
    return t


class Generator(object):
    """Random argument values, from plausible to absurd."""

    def __init__(self, rng, handles, addresses):
        self.rng = rng
        self.handles = handles
        self.addresses = addresses
        self.objects = [
            None, [], [1, 2], {}, {'a': 1}, set([1]), object(), OldStyle(), Ellipsis,
            Raises(), OldStyleCallable(), GetattrRaises(), GetattrCallsModule(),
            Raises(SystemExit), Raises(KeyboardInterrupt), Reenters(),
            raising_function, lambda *a: None, len, int, Raises, self.__init__,
            StrSub('Default'), CallableStr('velto-sim://bad-a'), TupleSub((1, 2)),
            IntSub(3), LongSub(handles[0]), FloatSub(60.0), True, False,
            u'', u'Default', u'\u00e9\u4e2d', u'\ud800x', bytearray(b'ab'), memoryview(b'xyz'),
            deep_tuple(50), deep_tuple(3000), (None,) * 1000,
        ]

    def integer(self):
        rng = self.rng
        return rng.choice([
            0, 1, -1, 7, 2 ** 31 - 1, -2 ** 31, 2 ** 31, -2 ** 31 - 1, 2 ** 32, 2 ** 63 - 1,
            -2 ** 63, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 2 ** 64 + 5, 2 ** 100, -2 ** 200,
            LONG(0), LONG(1), LONG(-1), sys.maxsize, -sys.maxsize - 1,
            rng.randint(-2 ** 70, 2 ** 70), rng.randint(-10, 10)])

    def real(self):
        rng = self.rng
        return rng.choice([
            float('nan'), float('inf'), float('-inf'), -float('nan'), 0.0, -0.0, 1e308,
            -1e308, 5e-324, 3.5e38, 3.5e39, 1e-50, 0.5, 1.5, -0.5, 60.0, 23.976,
            rng.uniform(-2, 2), rng.uniform(-1e40, 1e40)])

    def text(self):
        rng = self.rng
        return rng.choice([
            '', 'a', '\0', 'a\0b', 'Default', 'Human', 'x' * 127, 'x' * 128, 'x' * 70000,
            '%s%s%n%n', b'\xff\xfe\x00', ''.join(chr(rng.randint(0, 255)) for _ in range(20)),
            b'VCAL', b'VCAL\x01\x00\x00\x00\x04\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00'] +
            self.addresses)

    def handle(self):
        rng = self.rng
        return rng.choice(self.handles + [0, 1, -1, self.handles[0] + 1, 2 ** 63 - 1,
                                          int(self.handles[1]), 2 ** 64 + self.handles[0]])

    def nested(self, depth=0):
        rng = self.rng
        if depth > 4 or rng.random() < 0.4:
            return self.value(depth + 1)
        items = tuple(self.nested(depth + 1) for _ in range(rng.randint(0, 4)))
        return TupleSub(items) if rng.random() < 0.2 else items

    def value(self, depth=0):
        rng = self.rng
        kind = rng.randint(0, 6)
        if kind == 0:
            return self.integer()
        if kind == 1:
            return self.real()
        if kind == 2:
            return self.text()
        if kind == 3:
            return self.handle()
        if kind == 4 and depth < 3:
            return self.nested(depth)
        return rng.choice(self.objects)

    def for_letter(self, letter):
        """A value for one parser letter: right kind most of the time."""
        rng = self.rng
        if rng.random() < 0.25:
            return self.value()
        if letter == 's':
            return self.text()
        if letter == 'f':
            return self.real()
        if letter == 'L':
            return self.handle()
        if letter == 'i':
            return rng.choice([0, 1, 2, 3, 4, 5, 6, 7, -1, 2 ** 32 + 1, self.integer()])
        return rng.choice([raising_function, Raises(), OldStyleCallable(), len, Raises(SystemExit),
                           Raises(KeyboardInterrupt), Reenters(), CallableStr('x'), lambda r: None,
                           self.value()])

    def arguments(self, name):
        rng = self.rng
        shape = SHAPES.get(name, '') if isinstance(name, (str, type(u''))) else ''
        choice = rng.random()
        if choice < 0.5:
            args = [self.for_letter(letter) for letter in shape]
        else:
            args = [self.value() for _ in range(rng.randint(0, 5))]
        if rng.random() < 0.2:
            args.extend(self.value() for _ in range(rng.randint(1, 3)))  # extra items
        if rng.random() < 0.1 and args:
            del args[rng.randrange(len(args))]  # one missing
        args = tuple(args)
        return TupleSub(args) if rng.random() < 0.1 else args

    def name(self):
        rng = self.rng
        if rng.random() < 0.9:
            return rng.choice(OPERATIONS[1:])  # terminate: see its own test
        return rng.choice(['', 'x', 'get_device\0', 'GET_DEVICE', 'get_device ', 'terminat',
                           'find_all_eyetrackers' * 100, u'get_device', u'\u00e9', StrSub('x'),
                           None, 5, 2 ** 70, ('get_device',), 1.5, '\xff',
                           bytearray(b'get_device')])


class Counter(object):
    """A result callback that checks and counts what it receives."""
    __slots__ = ('calls', 'problem')

    def __init__(self):
        self.calls = 0
        self.problem = None

    def __call__(self, *args):
        self.calls += 1
        if len(args) != 1:
            self.problem = 'called with %d arguments' % len(args)
        elif type(args[0]) is not tuple or not args[0] or type(args[0][0]) is not int:
            self.problem = 'result %r' % (args[0],)


def drain(timeout=60):
    """Waits until everything queued so far has been answered."""
    support.call('get_system_time_stamp', timeout=timeout)


class Base(unittest.TestCase):
    longMessage = True

    def setUp(self):
        support.reset()
        self.handles = support.world(TRACKERS)
        self.addresses = [t['address'] for t in TRACKERS]
        support.call('unsubscribe_from', (0, 0))
        self.info = 'seed %d (VELTO_BAD_INPUT_SEED repeats it)' % SEED

    def tearDown(self):
        # Subscriptions made with random callables end here (registry teardown).
        velto_internal.cleanup()
        velto_internal.startup()
        support.reset()

    def emit_everything(self):
        """One record of every stream to every tracker, reaching whatever got subscribed."""
        for handle in self.handles:
            support.emit(1, handle, support.GazeData())
            support.emit(2, handle, support.ExternalSignalData(change_type=99))
            support.emit(3, handle, support.TimeSynchronizationData())
            support.emit(4, handle, support.StreamErrorData(error=-5, source=77, message=None))
            support.emit(5, handle, support.Notification(notification_type=6))
            support.emit(6, handle, support.EyeImage(type=-1, image_size=5, image_data=None))
        support.emit_log(1, 99, -3, b'log \xff')


class RandomCalls(Base):
    def check_call(self, name, args, callback):
        try:
            status = velto_internal.call_function(name, args, callback)
        except BaseException as error:
            self.fail('call_function(%r, %r) raised %r; %s' % (name, args, error, self.info))
        self.assertIs(type(status), int, self.info)
        self.assertIn(status, (0, 10), (name, self.info))
        self.assertIsNone(support.PyErr_Occurred(), (name, 'error left set', self.info))
        return status

    def run_batch(self, rng, generator, first, count):
        """Makes `count` random calls, waits for their answers and checks them.
        Returns (accepted, refused). Keeps nothing it was given afterwards."""
        pending = []
        accepted = refused = 0
        for case in range(first, first + count):
            name = generator.name()
            args = generator.arguments(name) if rng.random() < 0.95 else generator.value()
            if rng.random() < 0.9:
                callback = Counter()
            else:
                callback = rng.choice([Raises(), raising_function, OldStyleCallable(),
                                       Raises(SystemExit), Raises(KeyboardInterrupt), Reenters(),
                                       GetattrRaises(), len, 'not callable', None, 5])
            status = self.check_call(name, args, callback)
            # Names outside the table, non-tuple arguments and callbacks that
            # cannot be called are refused; the rest is accepted while the module runs.
            known = (isinstance(name, (str, type(u''))) and
                     support.to_bytes(name) in OPERATION_BYTES)
            self.assertEqual(status == 0, known and isinstance(args, tuple) and callable(callback),
                             (case, name, args, callback, status, self.info))
            if isinstance(callback, Counter):
                pending.append((case, name, args, status, callback))
            if status == 0:
                accepted += 1
            else:
                refused += 1
        if rng.random() < 0.3:
            self.emit_everything()
        drain()
        for case, name, args, status, callback in pending:
            context = (case, name, args, status, self.info)
            self.assertEqual(callback.calls, 1 if status == 0 else 0, context)
            self.assertIsNone(callback.problem, context)
        return accepted, refused

    def test_random_argument_tuples(self):
        rng = random.Random(SEED)
        generator = Generator(rng, self.handles, self.addresses)
        # Shared singletons and builtins are referenced from everywhere; watch the rest.
        shared = (None, True, False, Ellipsis, len, int)
        watched = [x for x in generator.objects
                   if not any(x is y for y in shared) and x is not EMPTY_TEXT]
        gc.collect()
        start_refs = [sys.getrefcount(x) for x in watched]
        accepted = refused = 0
        for first in range(0, CASES, BATCH):
            a, r = self.run_batch(rng, generator, first, min(BATCH, CASES - first))
            accepted += a
            refused += r
        # Subscriptions made with random callables are released by cleanup().
        velto_internal.cleanup()
        velto_internal.startup()
        drain()
        gc.collect()
        end_refs = [sys.getrefcount(x) for x in watched]
        changed = [(type(x).__name__, before, after)
                   for x, before, after in zip(watched, start_refs, end_refs) if before != after]
        self.assertEqual(changed, [], self.info)
        sys.stderr.write('\nbad input: %d cases, %d accepted, %d refused (%s)\n'
                         % (CASES, accepted, refused, self.info))
        self.assertGreater(accepted, CASES // 2, self.info)
        self.assertGreater(refused, CASES // 50, self.info)

    def test_wrong_method_arity_and_types(self):
        # call_function with anything but (str, tuple, callable) answers 10.
        rng = random.Random(SEED + 1)
        generator = Generator(rng, self.handles, self.addresses)
        for _ in range(500):
            arity = rng.randint(0, 5)
            items = [generator.value() for _ in range(arity)]
            if arity == 3 and isinstance(items[1], tuple) and callable(items[2]):
                continue
            self.assertEqual(self.check_call(*items) if arity == 3 else
                             self.call_with(items), 10, (items, self.info))

    def call_with(self, items):
        status = velto_internal.call_function(*items)
        self.assertIsNone(support.PyErr_Occurred(), self.info)
        self.assertIs(type(status), int)
        return status

    def test_other_methods_ignore_any_arguments(self):
        rng = random.Random(SEED + 2)
        generator = Generator(rng, self.handles, self.addresses)
        for _ in range(200):
            items = [generator.value() for _ in range(rng.randint(0, 4))]
            version = velto_internal.get_kelmo_version(*items)
            self.assertIs(type(version), tuple)
            self.assertIs(type(version[0]), int)


@unittest.skipIf(PY3, 'only an old-style instance runs Python code inside the conversion')
class Reentrancy(Base):
    def test_cleanup_run_by_the_argument_conversion_is_refused_not_a_crash(self):
        # Regression: cleanup() run during call_function's argument conversion crashed it (append to a null queue).
        # callable() of an old-style instance runs its __getattr__; call_function
        # had read the running runtime before converting the arguments.
        class StopsTheModule:
            def __getattr__(self, name):
                velto_internal.cleanup()
                raise AttributeError(name)
        sneaky = StopsTheModule()
        held = sys.getrefcount(sneaky)
        callback = Counter()
        status = velto_internal.call_function('get_device_data', (sneaky, (sneaky,)), callback)
        self.assertEqual(status, 10)
        velto_internal.startup()
        drain()
        self.assertEqual(callback.calls, 0)
        self.assertEqual(sys.getrefcount(sneaky), held)

    def test_startup_run_by_the_argument_conversion_queues_on_the_new_worker(self):
        class RestartsTheModule:
            def __getattr__(self, name):
                velto_internal.cleanup()
                velto_internal.startup()
                raise AttributeError(name)
        callback = Counter()
        status = velto_internal.call_function('get_device_data', (RestartsTheModule(),),
                                              callback)
        self.assertEqual(status, 0)
        drain()
        self.assertEqual((callback.calls, callback.problem), (1, None))

    def test_cleanup_from_another_thread_during_the_conversion(self):
        # Regression: the same crash reached through another thread's cleanup() during the conversion.
        # __getattr__ gives the interpreter lock away and the other thread runs.
        class Yields:
            def __getattr__(self, name):
                stopper = threading.Thread(target=velto_internal.cleanup)
                stopper.start()
                stopper.join()
                raise AttributeError(name)
        callback = Counter()
        self.assertEqual(velto_internal.call_function('get_device_data', (Yields(),), callback),
                         10)
        velto_internal.startup()
        drain()
        self.assertEqual(callback.calls, 0)


class Refusals(Base):
    def test_each_item_of_the_wrong_kind_or_missing_is_refused_without_a_library_call(self):
        right = dict(RIGHT, L=self.handles[0])
        support.clear_calls()
        for name, shape in sorted(SHAPES.items()):
            valid = [right[letter] for letter in shape]
            cases = [tuple(valid[:-1])] if shape else []
            for i, letter in enumerate(shape):
                cases.extend(tuple(valid[:i] + [wrong] + valid[i + 1:]) for wrong in WRONG[letter])
            for args in cases:
                self.assertEqual(support.call(name, args), (10,), (name, args))
        self.assertEqual(support.calls(), [])


class Terminate(Base):
    def test_terminate_with_random_arguments_then_recovery(self):
        rng = random.Random(SEED + 3)
        generator = Generator(rng, self.handles, self.addresses)
        for _ in range(20):
            result = support.call('terminate', generator.arguments('terminate'))
            self.assertIs(type(result), tuple)
            self.assertIs(type(result[0]), int)
            # The library is down: operations answer its status, never crash.
            for name in ('find_all_eyetrackers', 'get_device_data', 'subscribe_to'):
                result = support.call(name, generator.arguments(name))
                self.assertIs(type(result[0]), int)
            velto_internal.cleanup()
            velto_internal.startup()  # initialises the library again
        self.assertEqual(support.call('get_system_time_stamp')[0], 0)
        self.assertEqual(support.call('find_all_eyetrackers')[0], 0)


if __name__ == '__main__':
    unittest.main()
