"""The module's lifetime, synchronous calls and shared stream subscriptions.

velto_internal is asynchronous: call_function queues a request and the
module's worker thread later calls back with (status,) or (0, payload). This
file turns that into plain calls that return the payload or raise, with a
time limit, and keeps the module running while anything of the package uses
it:

- `acquire()` / `release()` count users (open trackers, subscriptions,
  recorders); the first user starts the module, the last one to leave cleans
  it up.
- Child resources, one protocol: every open object of the package (a
  tracker, subscription, calibration session, clock sync, recording) has a
  `kind` (a name in CLOSE_ORDER) and `close(timeout=None)`. Once open it is
  adopted by its owner: `tracker.adopt(child)` for what belongs to a tracker
  (which also adopts it here), `adopt(child)` here for what is library-wide
  (trackers themselves, the log); its close() calls the matching `disown`.
  An owner closes its children in CLOSE_ORDER, newest first among equals;
  at interpreter exit every object still open is closed that way, before
  the module stops letting threads into Python.
- `call(name, args)` waits for the result on the calling thread; a result
  that arrives after the time limit is dropped.
- `subscribe()` / `unsubscribe()` share one module subscription per (stream
  type, device) between any number of listeners: the module ends every
  subscription of a pair at once, so two users of the same stream would
  otherwise end each other's.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import atexit
import itertools
import math
import os
import sys
import threading
import traceback
import warnings
import weakref

from ._compat import in_foreign_thread, string_types
from .errors import VeltoError, VeltoTimeout

DEFAULT_TIMEOUT = 10.0
# At interpreter exit no single wait is allowed to hold the exit up for long.
EXIT_TIMEOUT = 3.0
STATUS_BUFFER_TOO_SMALL = 15

_LONGEST_WAIT = min(getattr(threading, 'TIMEOUT_MAX', 1e9), 1e9)
_lock = threading.RLock()          # guards the state below
_subscribe_lock = threading.RLock()  # serialises subscribe/unsubscribe requests
_module = None
_users = 0
_pid = None
_dispatchers = {}                  # (stream type, device) -> _Dispatcher
_exiting = False

# Kinds of child resource in the order they are closed: a recording before the
# calibration, clock and subscriptions it may use, all before their tracker.
CLOSE_ORDER = ('recording', 'calibration', 'validation', 'clock', 'subscription', 'tracker')
_adoptions = itertools.count()


def seconds(value, what='timeout'):
    """A time limit argument checked before any work: a number of seconds
    >= 0, with None and float('inf') (or more than 1e9 s) meaning no limit,
    returned as None. NaN or a negative number raises ValueError, anything
    else TypeError."""
    if value is None:
        return None
    number = None
    if not isinstance(value, (bool,) + string_types + (bytes, bytearray)):
        try:
            number = float(value)
        except OverflowError:  # an int too large for a float
            number = float('inf')
        except (TypeError, ValueError):
            pass
    if number is None:
        raise TypeError('%s must be a number of seconds or None, not %s'
                        % (what, type(value).__name__))
    if math.isnan(number) or number < 0:
        raise ValueError('%s must be a number of seconds >= 0 (or None for no limit), not %r'
                         % (what, value))
    if number > _LONGEST_WAIT:  # float('inf'), or longer than a lock can wait
        return None
    return value


def module():
    """The velto_internal module, imported on first use."""
    global _module
    if _module is None:
        with _lock:
            if _module is None:
                try:
                    import velto_internal
                except ImportError as error:
                    raise ImportError(
                        'velto needs the velto_internal extension module (%s). Build it '
                        '(scripts/example.sh or cmake) and put the build\'s lib folder on '
                        'PYTHONPATH.' % error)
                # Registered after the module's own exit hook, so it runs first,
                # while the worker and the library's threads may still call into
                # Python.
                atexit.register(_close_all_at_exit)
                _module = velto_internal
    return _module


def acquire():
    """Counts one more user; starts the module for the first one."""
    global _users, _pid
    mod = module()
    with _lock:
        if _pid is not None and _pid != os.getpid():
            # A forked child: the module counts as not started there and the
            # parent's subscriptions do not exist for it.
            _users, _pid = 0, None
            _dispatchers.clear()
            _open.clear()
        if _users == 0:
            mod.startup()
            _pid = os.getpid()
        _users += 1


def release():
    """Counts one user less; cleans the module up when none is left."""
    global _users
    with _lock:
        if _users <= 0 or _pid != os.getpid():
            return
        _users -= 1
        if _users == 0:
            _dispatchers.clear()
            module().cleanup()


def users():
    """How many users keep the module running (0: stopped)."""
    return _users


class Closable(object):
    """`with` support for the package's objects that have close()."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


class Using(object):
    """`with Using():` keeps the module running for the block."""

    def __enter__(self):
        acquire()
        return self

    def __exit__(self, *exc):
        release()
        return False


def close_rank(child):
    """The place of `child.kind` in CLOSE_ORDER (closed earlier when lower)."""
    try:
        return CLOSE_ORDER.index(child.kind)
    except (AttributeError, ValueError):
        raise ValueError('%r has no kind of CLOSE_ORDER (%s)' % (child, ', '.join(CLOSE_ORDER)))


class Children(object):
    """The open child resources of one owner: `add`, `remove`, and `close_all`
    in CLOSE_ORDER, newest first among equals. With weak=True it does not keep
    its children alive (the runtime's table of everything open)."""

    def __init__(self, weak=False):
        self._lock = threading.Lock()
        self._weak = weak
        self._entries = {}  # id -> (rank, adoption number, child or weak reference)

    def add(self, child):
        entry = (close_rank(child), next(_adoptions), weakref.ref(child) if self._weak else child)
        with self._lock:
            self._entries[id(child)] = entry

    def remove(self, child):
        with self._lock:
            self._entries.pop(id(child), None)

    def clear(self):
        with self._lock:
            self._entries.clear()

    def in_close_order(self):
        with self._lock:
            entries = sorted(self._entries.values(), key=lambda e: (e[0], -e[1]))
        children = [e[2]() if self._weak else e[2] for e in entries]
        return [c for c in children if c is not None]

    def __len__(self):
        return len(self._entries)

    def close_all(self, timeout=None):
        """Closes every child; a failure is reported and the rest still closed."""
        for child in self.in_close_order():
            try:
                child.close(timeout=timeout)
            except Exception:
                report_exception('closing %r' % (child,))


_open = Children(weak=True)  # everything open, closed at interpreter exit


def adopt(child):
    """Registers an open library-wide child (tracker, log subscription), and
    every child a tracker adopts: closed at interpreter exit if still open."""
    _open.add(child)


def disown(child):
    """The counterpart of adopt(), called by the child's close()."""
    _open.remove(child)


def open_objects():
    """Everything open, in the order it would be closed at exit."""
    return _open.in_close_order()


def exiting():
    """True once the interpreter's exit has begun closing what is open."""
    return _exiting


def _close_all_at_exit():
    global _exiting
    _exiting = True
    _open.close_all(timeout=EXIT_TIMEOUT)


def package_version():
    """The project's version: that of the module the package works with (which
    the build takes from the source tree's VERSION file), else that file."""
    try:
        return module().__version__
    except ImportError:
        pass
    import io
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'VERSION')
    try:
        with io.open(path, encoding='ascii') as stream:
            return str(stream.read().strip())
    except (IOError, OSError):
        return 'unknown'


class _Pending(object):
    """One request's result, handed over from the worker thread. Once the
    waiter gave up, a result that still comes goes to `on_late` instead."""

    def __init__(self, on_late=None):
        self.lock = threading.Lock()
        self.event = threading.Event()
        self.result = None
        self.abandoned = False
        self.on_late = on_late

    def __call__(self, result):  # on the module's worker thread
        with self.lock:
            self.result = result
            late = self.abandoned
            if not late:
                self.event.set()
        if late and self.on_late is not None:
            try:
                self.on_late(result)
            except Exception:
                report_exception('handling a late result')

    def wait(self, timeout):
        """True when the result is there; False once given up after `timeout`
        (None: no limit). Ctrl-C while waiting gives up too."""
        try:
            if timeout is None:
                # Waiting in slices keeps Ctrl-C working on 2.7.
                while not self.event.wait(1.0):
                    pass
            else:
                self.event.wait(timeout)
        except BaseException:
            self._give_up()
            raise
        return not self._give_up()

    def _give_up(self):
        """Marks the request abandoned unless its result is already there;
        True when it was abandoned."""
        with self.lock:
            if self.result is not None:
                return False
            self.abandoned = True
            return True


def _ignore(result):
    pass


def call_async(name, args=()):
    """Queues a request without waiting (its result is dropped). Returns the
    call_function status: 0 queued, 10 refused."""
    return module().call_function(name, tuple(args), _ignore)


def call(name, args=(), timeout=DEFAULT_TIMEOUT, on_late=None):
    """Runs one operation and returns its payload (None when it has none).

    Raises VeltoError for a non-zero status or a refused request, VeltoTimeout
    when no result arrived within `timeout` seconds (None: no limit); then
    `on_late(result)` is called with the result if it still comes, on the
    worker thread.
    """
    timeout = seconds(timeout)
    if _exiting:
        timeout = EXIT_TIMEOUT if timeout is None else min(timeout, EXIT_TIMEOUT)
    if in_foreign_thread():
        raise VeltoError(name, None, 'call it from a Python thread of your own',
                         name='cannot wait for a result on a stream or result callback thread')
    pending = _Pending(on_late)
    status = module().call_function(name, tuple(args), pending)
    if status != 0:
        detail = 'the module is not running' if _users == 0 else 'refused by call_function'
        raise VeltoError(name, status, detail)
    if not pending.wait(timeout):
        raise VeltoTimeout(name, timeout)
    result = pending.result
    if result[0] != 0:
        raise VeltoError(name, result[0])
    return result[1] if len(result) > 1 else None


def call_retrying(name, args=(), timeout=DEFAULT_TIMEOUT, attempts=4):
    """call(), tried again when the library answers "buffer too small" (the
    answer changed size between its two internal queries, e.g. a tracker
    appeared during discovery)."""
    for attempt in range(attempts):
        try:
            return call(name, args, timeout)
        except VeltoError as error:
            if error.status != STATUS_BUFFER_TOO_SMALL or attempt == attempts - 1:
                raise


def report_exception(where):
    """Prints the current exception to stderr: the module drops exceptions
    raised on its threads silently, which would hide faults in user code."""
    try:
        sys.stderr.write('velto: exception in %s:\n%s' % (where, traceback.format_exc()))
    except Exception:
        pass


class _Dispatcher(object):
    """The one module subscription of a (stream type, device) pair, handing
    every record to each listener in turn."""

    __slots__ = ('key', 'listeners', 'subscribed', '__weakref__')

    def __init__(self, key):
        self.key = key
        self.listeners = ()  # replaced as a whole, so delivery reads it without a lock
        self.subscribed = False

    def __call__(self, record):  # on a device library thread
        for listener in self.listeners:
            try:
                listener(record)
            except BaseException:  # this thread cannot end the program: report it
                report_exception('a listener of stream type %d' % self.key[0])


def subscribe(stream_type, device, listener, timeout=DEFAULT_TIMEOUT):
    """Adds `listener` (called with each record dict on a library thread) to
    the stream of `device`; subscribes at the module for the first listener.
    The caller must hold a user (acquire) for as long as it listens."""
    key = (stream_type, device)
    with _subscribe_lock:
        dispatcher = _dispatchers.get(key)
        if dispatcher is not None and dispatcher.subscribed:
            dispatcher.listeners += (listener,)
            return
        dispatcher = _Dispatcher(key)
        dispatcher.listeners = (listener,)

        def undo_late(result):
            # The subscription was made after all: end it again. Requests run
            # in order, so this runs after it.
            if result[0] == 0:
                call_async('unsubscribe_from', key)

        call('subscribe_to', (stream_type, device, dispatcher), timeout, on_late=undo_late)
        dispatcher.subscribed = True
        _dispatchers[key] = dispatcher


def unsubscribe(stream_type, device, listener, timeout=DEFAULT_TIMEOUT):
    """Removes `listener`; ends the module subscription with the last one.
    Failures are reported as warnings: this runs when things are closed."""
    key = (stream_type, device)
    with _subscribe_lock:
        dispatcher = _dispatchers.get(key)
        if dispatcher is None:
            return
        dispatcher.listeners = tuple(l for l in dispatcher.listeners if l is not listener)
        if dispatcher.listeners:
            return
        del _dispatchers[key]
        dispatcher.subscribed = False
        try:
            call('unsubscribe_from', key, timeout)
        except VeltoError as error:
            # Status 1: the library was terminated, which ended its streams;
            # status 2: the tracker is gone, and its streams with it.
            if error.status not in (1, 2):
                warnings.warn('velto: ending a subscription: %s' % error, RuntimeWarning)


def run_elsewhere(function, *args):
    """Runs `function` on a short-lived thread of its own: for closing things
    from a library or worker thread, which must not wait for results."""
    thread = threading.Thread(target=function, args=args, name='velto-close')
    thread.daemon = True
    thread.start()
    return thread
