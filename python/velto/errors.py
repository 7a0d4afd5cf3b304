"""The package's one exception type and the names of the statuses.

Every failed operation raises VeltoError (or its subclass VeltoTimeout when
no result came in time, ConnectionLost when a tracker's connection was lost
under a stream being read). It carries the operation's name, the status number
(None when the failure is the package's own, such as a timeout or a missing
file) and a readable status name.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

# Statuses of the module itself and of the device library (the simulated
# library's codes; a real library's codes other than 0 and 15 may differ and
# then read "unknown status N").
STATUS_NAMES = {
    0: 'success',
    1: 'library not initialised',
    2: 'invalid device handle or unknown address',
    3: 'invalid argument',
    4: 'not in calibration mode',
    5: 'no data',
    6: 'operation failed',
    7: 'not supported by this tracker',
    8: 'already in calibration mode',
    10: 'invalid parameter',
    11: 'already subscribed',
    15: 'buffer too small',
}

# Where one operation gives a status a more telling meaning.
_OPERATION_STATUS_NAMES = {
    ('calibration_apply', 6): 'damaged or foreign calibration data',
    ('get_device', 2): 'no tracker at that address',
    ('screen_based_calibration_compute_and_apply', 5): 'no calibration data collected',
    ('subscribe_to', 11): 'the log stream already has a subscriber',
}


def status_name(status, operation=None):
    """A readable name for a status number, e.g. status_name(4) is
    'not in calibration mode'; 'unknown status N' for a number not listed."""
    if status is None:
        return 'no status'
    name = _OPERATION_STATUS_NAMES.get((operation, status))
    return name or STATUS_NAMES.get(status, 'unknown status %d' % status)


class VeltoError(Exception):
    """An operation failed.

    Attributes: `operation` (the operation's name, e.g. 'set_gaze_output_frequency'),
    `status` (the status number, or None for a failure of the package's own),
    `status_name` (readable), `detail` (extra context, may be empty).
    """

    def __init__(self, operation, status=None, detail='', name=None):
        self.operation = operation
        self.status = status
        self.status_name = name or status_name(status, operation)
        self.detail = detail
        Exception.__init__(self, self._message())

    def add_detail(self, detail):
        """Replaces the detail (and so the message) of this error; returns it."""
        self.detail = detail
        self.args = (self._message(),)
        return self

    def _message(self):
        text = '%s: %s' % (self.operation, self.status_name)
        if self.status is not None:
            text += ' (status %d)' % self.status
        if self.detail:
            text += '; ' + self.detail
        return text

    def __reduce__(self):  # picklable with its attributes
        return (self.__class__, (self.operation, self.status, self.detail, self.status_name))


class VeltoTimeout(VeltoError):
    """No result arrived within the time limit. A result that comes later is
    discarded."""

    def __init__(self, operation, timeout, detail='', name=None):
        self.timeout = timeout
        VeltoError.__init__(self, operation, None, detail,
                            name or 'no result within %g s' % timeout)

    def __reduce__(self):
        return (self.__class__, (self.operation, self.timeout, self.detail, self.status_name))


# The notification types of a tracker's connection (the notifications stream).
CONNECTION_LOST = 'eyetracker_notification_connection_lost'
CONNECTION_RESTORED = 'eyetracker_notification_connection_restored'


class ConnectionLost(VeltoError):
    """The tracker's connection was lost (cut, or the tracker removed) while
    one of its streams was read: `address` names the tracker (None when not
    known). Raised by a stream's iterator and get() once its queued records
    are read; the subscription stays open and goes on if the connection is
    restored."""

    def __init__(self, operation, address=None, detail='', name=None):
        self.address = address
        VeltoError.__init__(self, operation, None, detail or (
            'tracker %s' % address if address is not None else ''),
            name or 'the tracker\'s connection was lost')

    def __reduce__(self):
        return (self.__class__, (self.operation, self.address, self.detail, self.status_name))
