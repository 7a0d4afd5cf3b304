"""Synchronous helpers on top of the asynchronous velto_internal module.

velto_internal has one entry point for operations, call_function(name, args,
callback): it queues the request and returns at once, and the module's worker
thread later calls `callback` with the result tuple (status,) or
(0, payload). For scripts it is often easier to wait for that result, which is
what `call` and `check` here do, always with a time limit.

Shared by the examples and the demo. Nothing here changes how the module
works: the module stays asynchronous, these helpers only wait on a
threading.Event that the result callback sets.
"""
from __future__ import print_function

import sys
import threading
import traceback

try:
    import velto_internal
except ImportError as _error:
    sys.exit('cannot import velto_internal (%s).\n'
             'Build it and run with the build\'s lib folder on the path, e.g.\n'
             '    scripts/demo.sh            (builds, then runs the demo)\n'
             '    PYTHONPATH=build/lib python2.7 examples/<name>.py' % _error)

# Statuses the module itself gives; every other non-zero status comes from
# the device library unchanged.
STATUS_OK = 0
STATUS_INVALID_PARAMETER = 10
STATUS_ALREADY_SUBSCRIBED = 11
STATUS_BUFFER_TOO_SMALL = 15

# Stream types of subscribe_to / unsubscribe_from.
STREAM_LOG = 0
STREAM_GAZE = 1
STREAM_EXTERNAL_SIGNAL = 2
STREAM_TIME_SYNCHRONIZATION = 3
STREAM_STREAM_ERRORS = 4
STREAM_NOTIFICATIONS = 5
STREAM_EYE_IMAGES = 6

STREAM_NAMES = {
    STREAM_LOG: 'log',
    STREAM_GAZE: 'gaze data',
    STREAM_EXTERNAL_SIGNAL: 'external signal',
    STREAM_TIME_SYNCHRONIZATION: 'time synchronization',
    STREAM_STREAM_ERRORS: 'stream errors',
    STREAM_NOTIFICATIONS: 'notifications',
    STREAM_EYE_IMAGES: 'eye images',
}

# The event streams that need a capability of the tracker.
STREAM_CAPABILITY = {
    STREAM_EXTERNAL_SIGNAL: 'capability_has_external_signal',
    STREAM_EYE_IMAGES: 'capability_has_eye_images',
}

DEFAULT_TIMEOUT = 10.0

_MODULE_STATUSES = {
    STATUS_OK: 'ok',
    STATUS_INVALID_PARAMETER: 'invalid parameter',
    STATUS_ALREADY_SUBSCRIBED: 'log stream already subscribed',
    STATUS_BUFFER_TOO_SMALL: 'buffer too small',
}


def status_text(status):
    """A short human-readable text for a status code."""
    if status in _MODULE_STATUSES:
        return '%d (%s)' % (status, _MODULE_STATUSES[status])
    return '%d (device library status)' % status


class VeltoError(Exception):
    """An operation was refused, timed out, or answered with a non-zero status."""

    def __init__(self, operation, status=None, detail=None):
        self.operation = operation
        self.status = status
        if detail is None:
            detail = 'failed with status %s' % status_text(status)
        Exception.__init__(self, '%s: %s' % (operation, detail))


def call(name, args=(), timeout=DEFAULT_TIMEOUT):
    """Runs one operation and returns its result tuple, (status,) or (0, payload).

    Raises VeltoError when call_function refuses the request (unknown name,
    args not a tuple, module not started) or when no result arrives within
    `timeout` seconds. A non-zero status is returned, not raised.
    """
    done = threading.Event()
    box = []

    def on_result(result):  # runs on the module's worker thread
        box.append(result)
        done.set()

    accepted = velto_internal.call_function(name, tuple(args), on_result)
    if accepted != 0:
        raise VeltoError(name, accepted, 'refused by call_function with %s'
                         % status_text(accepted))
    # Event.wait with a timeout also lets Ctrl-C through on Python 2.7.
    if not done.wait(timeout):
        raise VeltoError(name, None, 'no result within %.1f s' % timeout)
    return box[0]


def check(name, args=(), timeout=DEFAULT_TIMEOUT):
    """Like call, but raises VeltoError on a non-zero status; returns the payload
    (None for operations that have none)."""
    result = call(name, args, timeout)
    if result[0] != STATUS_OK:
        raise VeltoError(name, result[0])
    return result[1] if len(result) > 1 else None


def find_trackers(timeout=DEFAULT_TIMEOUT):
    """The device descriptions of every eye tracker found (a list of dicts)."""
    return check('find_all_eyetrackers', (), timeout)


def pick_tracker(trackers, capability=None):
    """The first tracker that has `capability` (e.g. 'capability_has_eye_images'),
    else the first tracker; None when the list is empty."""
    for tracker in trackers:
        if capability is None or capability in tracker['device_capabilities']:
            return tracker
    return trackers[0] if trackers else None


def guarded(function, label=None):
    """Wraps a callable handed to the module so that an exception it raises is
    printed to stderr. The module itself drops such exceptions silently."""
    label = label or getattr(function, '__name__', 'callback')

    def wrapper(*args):
        try:
            return function(*args)
        except Exception:  # report and go on: the next record still arrives
            sys.stderr.write('error in %s:\n%s' % (label, traceback.format_exc()))
    return wrapper


def printable(event):
    """A copy of a stream dict that is safe to print or store as JSON: byte
    strings that are not text (eye images) become '<N bytes>'."""
    out = {}
    for key, value in event.items():
        if key == 'image_data':
            value = '<%d bytes>' % len(value)
        out[key] = value
    return out


class Session(object):
    """startup() on entry; on exit every stream subscribed through the session
    is unsubscribed, the device library is optionally terminated, and
    cleanup() is called.

        with velto_sync.Session() as session:
            trackers = velto_sync.find_trackers()
            session.subscribe(velto_sync.STREAM_GAZE, handle, on_gaze)
            ...
    """

    def __init__(self, timeout=DEFAULT_TIMEOUT, terminate=False):
        self.timeout = timeout
        self.terminate = terminate
        self.subscriptions = []  # (stream type, device handle), in order

    def __enter__(self):
        velto_internal.startup()
        return self

    def subscribe(self, stream_type, handle, function, label=None):
        """Subscribes `function` to a stream; returns the status (0 when
        subscribed). The function is called with one dict per record, on a
        thread of the device library."""
        label = label or STREAM_NAMES.get(stream_type, 'stream %d' % stream_type)
        status = call('subscribe_to', (stream_type, handle, guarded(function, label)),
                      self.timeout)[0]
        if status == STATUS_OK:
            self.subscriptions.append((stream_type, handle))
        return status

    def unsubscribe(self, stream_type, handle):
        """Ends the subscriptions of (stream type, handle); returns the status."""
        # The module ends every subscription of the pair at once.
        self.subscriptions = [s for s in self.subscriptions if s != (stream_type, handle)]
        return call('unsubscribe_from', (stream_type, handle), self.timeout)[0]

    def unsubscribe_all(self):
        """Ends every subscription made through this session, newest first.
        Returns a list of (stream type, handle, problem) for those that failed."""
        problems = []
        for stream_type, handle in reversed(list(self.subscriptions)):
            try:
                status = self.unsubscribe(stream_type, handle)
                if status != STATUS_OK:
                    problems.append((stream_type, handle, status_text(status)))
            except VeltoError as error:
                problems.append((stream_type, handle, str(error)))
        return problems

    def __exit__(self, kind, value, trace):
        try:
            for stream_type, handle, problem in self.unsubscribe_all():
                sys.stderr.write('warning: unsubscribing from %s: %s\n'
                                 % (STREAM_NAMES.get(stream_type, stream_type), problem))
            if self.terminate:
                try:
                    call('terminate', (), self.timeout)
                except VeltoError as error:
                    sys.stderr.write('warning: %s\n' % error)
        finally:
            velto_internal.cleanup()
        return False
