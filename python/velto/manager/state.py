"""The manager's state, owned by the server and not by any page: the trackers
found, the one in use and its settings, its live streams (thinned for the
pages; live.py), the running calibration or validation (calibrating.py), and
the recording (recorder.py).

Every method is called from request threads; one lock serialises the
operations that change state. Stream callbacks only append to deques and
bump counters (they run on the device library's threads).
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import os
import threading
import time

import velto

from .calibrating import CalibrationSteps, result_dict
from .live import EYES, RECENT_SAMPLES, LiveStreams, image_data_url, sample_frame, trail_point
from .recorder import RecordingSteps
from .values import ApiError, clean, number, resolve_under, rounded, text, velto_error

# Seconds without a step after which a calibration a page left behind is ended.
CALIBRATION_IDLE_LIMIT = 120.0
# Names of the manager's parts, importable from here as before.
__all__ = ['CALIBRATION_IDLE_LIMIT', 'EYES', 'RECENT_SAMPLES', 'ApiError', 'CalibrationSteps',
           'LiveStreams', 'Manager', 'RecordingSteps', 'clean', 'image_data_url', 'number',
           'result_dict', 'resolve_under', 'rounded', 'sample_frame', 'text', 'track_box_dict',
           'trail_point', 'velto_error']


class Manager(CalibrationSteps, RecordingSteps):
    """What the server serves: trackers, settings, live data, calibration
    (calibrating.py), recording (recorder.py). `root` is the only folder
    anything is saved to or read from."""

    def __init__(self, root, find=velto.find_trackers):
        self.root = os.path.realpath(root)
        if not os.path.isdir(self.root):
            raise ValueError('the save folder %s does not exist' % root)
        self._find = find
        self.lock = threading.RLock()
        self.trackers = []
        self.tracker = None
        self.live = None
        self.frequency = None
        self.calibration = None       # {'kind', 'session', 'points', 'touched', 'result'}
        self.last_result = None
        self.recording = None
        self.recording_info = None
        self.markers = 0
        self.closed = False
        self._clock_offset = None     # system time minus wall clock, us
        self._clock_checked = 0.0
        self.startup_error = None
        try:
            self.discover()
        except ApiError as error:  # the page says so; "Find again" may do better
            self.startup_error = error.message
        self._watchdog = threading.Thread(target=self._watch, name='velto-manager-watchdog')
        self._watchdog.daemon = True
        self._watchdog.start()

    # -------------------------------------------------------------- clock

    def system_now(self):
        """The library's system time now (us), from the wall clock and an
        offset read from the library every few seconds (no library call per frame)."""
        wall = time.time()
        if self._clock_offset is None or wall - self._clock_checked > 5.0:
            try:
                before = time.time()
                system = velto.system_time()
                after = time.time()
                self._clock_offset = system - (before + after) / 2.0 * 1e6
            except velto.VeltoError:
                if self._clock_offset is None:
                    return None
            self._clock_checked = wall
        return int(wall * 1e6 + self._clock_offset)

    def clock_offset(self):
        """System time minus wall clock (us), for the pages' latency figures."""
        self.system_now()
        return self._clock_offset

    # -------------------------------------------------------------- trackers

    def discover(self):
        """Finds the trackers again (refused while a recording or calibration runs)."""
        with self.lock:
            self._require_idle('finding trackers again')
            address = text(self.tracker.address) if self.tracker is not None else None
            self._stop_live()
            for tracker in self.trackers:
                tracker.close()
            self.trackers, self.tracker = [], None
            try:
                self.trackers = self._find()
            except velto.VeltoError as error:
                raise velto_error(error)
            self.startup_error = None
            chosen = [t for t in self.trackers if text(t.address) == address] or self.trackers[:1]
            if chosen:
                self._use(chosen[0])
            return self.tracker_list()

    def tracker_list(self):
        current = text(self.tracker.address) if self.tracker is not None else None
        out = []
        for tracker in self.trackers:
            entry = tracker.to_dict()
            entry['selected'] = entry['address'] == current
            out.append(entry)
        return {'trackers': out, 'selected': current}

    def select(self, address):
        with self.lock:
            matches = [t for t in self.trackers if text(t.address) == address]
            if not matches:
                raise ApiError(404, 'no tracker at %s; find trackers again' % address)
            if matches[0] is not self.tracker:
                self._require_idle('choosing another tracker')
                self._stop_live()
                self._use(matches[0])
            return self.tracker_state()

    def _use(self, tracker):
        self.tracker = tracker
        try:
            self.frequency = tracker.frequency
            self.live = LiveStreams(tracker, self.frequency)
        except velto.VeltoError as error:
            self.live = None
            raise velto_error(error)

    def _stop_live(self):
        if self.live is not None:
            self.live.close()
            self.live = None

    def _current(self):
        if self.tracker is None:
            raise ApiError(404, 'no eye tracker found; connect one and find trackers again')
        return self.tracker

    def _require_idle(self, what):
        if self.recording is not None:
            raise ApiError(409, 'stop the recording before %s' % what)
        if self.calibration is not None:
            raise ApiError(409, 'end the %s before %s' % (self.calibration['kind'], what))

    def tracker_state(self):
        with self.lock:
            tracker = self._current()
            try:
                area = tracker.display_area
                box = tracker.track_box
                state = {
                    'description': tracker.to_dict(),
                    'name': text(tracker.name),
                    'frequency': tracker.frequency,
                    'frequencies': list(tracker.frequencies),
                    'mode': text(tracker.mode),
                    'modes': [text(m) for m in tracker.modes],
                    'display_area': area.to_dict(),
                    'track_box': track_box_dict(box),
                    'can_validate': hasattr(tracker, 'validate'),
                }
            except velto.VeltoError as error:
                raise velto_error(error)
            if state['frequency'] != self.frequency:  # changed elsewhere, too
                self.frequency = state['frequency']
                if self.live is not None:
                    self.live.set_frequency(self.frequency)
            return state

    def change_settings(self, frequency=None, mode=None, name=None):
        """Applies the settings given; a refusal is a 422 with the library's
        status and message (the other settings of the request are not tried)."""
        with self.lock:
            tracker = self._current()
            try:
                if frequency is not None:
                    if self.recording is not None:
                        raise ApiError(409, 'stop the recording before changing the frequency')
                    tracker.frequency = frequency
                    self.frequency = tracker.frequency
                    if self.live is not None:
                        self.live.set_frequency(self.frequency)
                if mode is not None:
                    tracker.mode = mode
                if name is not None:
                    tracker.name = name
            except (TypeError, ValueError) as error:
                raise ApiError(400, text(str(error)))
            except velto.VeltoError as error:
                raise velto_error(error)
            return self.tracker_state()

    # -------------------------------------------------------------- everything

    def status(self):
        # Without the lock: the live streams must not wait for a slow step.
        tracker = self.tracker
        return {'calibration': self.calibration_state(), 'recording': self.recording_state(),
                'tracker': text(tracker.address) if tracker is not None else None,
                'startup_error': self.startup_error}

    def _watch(self):
        """Ends a calibration that no page has stepped for a while (a tab
        closed half-way), so the tracker leaves calibration mode."""
        while not self.closed:
            time.sleep(1.0)
            with self.lock:
                running = self.calibration
                if running is not None and time.time() - running['touched'] > CALIBRATION_IDLE_LIMIT:
                    try:
                        self._end_calibration()
                    except ApiError:
                        pass

    def close(self):
        """Ends the recording (its files complete, with an end marker), the
        calibration and the live streams, and closes the trackers."""
        with self.lock:
            if self.closed:
                return
            self.closed = True
            recording, self.recording = self.recording, None
            if recording is not None:
                try:
                    recording.close()
                except Exception:
                    pass
            try:
                self._end_calibration()
            except ApiError:
                pass
            self._stop_live()
            for tracker in self.trackers:
                try:
                    tracker.close()
                except velto.VeltoError:
                    pass
            self.trackers, self.tracker = [], None


def track_box_dict(box):
    """A TrackBox as {corner name: [x, y, z]} (its eight named corners)."""
    if hasattr(box, 'to_dict'):
        return clean(box.to_dict())
    return dict((name, list(getattr(box, name))) for name in box._fields)
