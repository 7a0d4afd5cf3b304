"""The manager's state, owned by the server and not by any page: the trackers
found, the one in use, its live streams (thinned for the pages), the running
calibration or validation, and the recording.

Every method is called from request threads; one lock serialises the
operations that change state. Stream callbacks only append to deques and
bump counters (they run on the device library's threads).
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import base64
import collections
import errno
import math
import os
import threading
import time

import velto

# Seconds without a step after which a calibration a page left behind is ended.
CALIBRATION_IDLE_LIMIT = 120.0
# Samples kept for the pages (about 3.4 s at 1200 Hz).
RECENT_SAMPLES = 4096
EYES = ('left', 'right')


class ApiError(Exception):
    """A request refused: `http` status, message, and extra JSON fields."""

    def __init__(self, http, message, **fields):
        Exception.__init__(self, message)
        self.http = http
        self.message = message
        self.fields = fields


def text(value):
    """Library text (bytes on 2.7) as text."""
    if isinstance(value, bytes):
        return value.decode('utf-8', 'replace')
    return value if value is None else '%s' % (value,)


def velto_error(error):
    """An ApiError (422) carrying a VeltoError's operation, status and message."""
    return ApiError(422, text(str(error)), operation=text(error.operation), status=error.status,
                    status_name=text(error.status_name))


def number(value):
    """A float for JSON: None for NaN or infinity."""
    if value is None or isinstance(value, float) and (math.isnan(value) or math.isinf(value)):
        return None
    return value


def rounded(values, digits=4):
    return [None if v != v else round(v, digits) for v in values]


# ------------------------------------------------------------------ paths

def resolve_under(root, name, what='path'):
    """`name` (relative, '/'-separated) as an absolute path inside the folder
    `root`; ApiError 403 when it would land outside it, also through '..' or
    a symbolic link, and 400 for an empty or absolute name."""
    if isinstance(name, bytes):
        name = name.decode('utf-8', 'replace')
    if not isinstance(name, type('')) or not name.strip():
        raise ApiError(400, 'give a %s name' % what)
    if '\x00' in name:
        raise ApiError(400, 'the %s name holds a NUL character' % what)
    if os.path.isabs(name) or name.startswith(('~', '\\')):
        raise ApiError(403, 'the %s must be inside the save folder %s, not %s' % (what, root, name))
    base = os.path.realpath(root)
    target = os.path.realpath(os.path.join(base, name))
    if target == base or not target.startswith(base.rstrip(os.sep) + os.sep):
        raise ApiError(403, 'the %s must be inside the save folder %s, not %s' % (what, root, name))
    return target


# ------------------------------------------------------------------ live data

class LiveStreams(object):
    """The manager's own subscriptions of the tracker in use: gaze samples
    and eye images kept for the pages, with counters. A recording has its
    own subscription; nothing here can hold back or drop its rows."""

    def __init__(self, tracker, frequency):
        self.tracker = tracker
        self.period_us = 1e6 / frequency if frequency else None
        self.recent = collections.deque(maxlen=RECENT_SAMPLES)  # (serial, sample)
        self.serial = 0
        self.missing = 0      # samples absent by their time stamps (gaps in the stream)
        self.invalid = {'left': 0, 'right': 0}
        self._last_device = None
        self.images = {}      # camera -> (serial, system time stamp, GIF bytes)
        self.image_serial = 0
        self.gaze = tracker.gaze(callback=self._on_gaze)
        self.eye_images = None
        if 'eye_images' in tracker.capabilities:
            try:
                self.eye_images = tracker.eye_images(callback=self._on_image)
            except velto.VeltoError:
                pass  # the page shows no images; gaze goes on

    def set_frequency(self, frequency):
        self.period_us = 1e6 / frequency if frequency else None
        self._last_device = None

    def _on_gaze(self, sample):  # on a device library thread: counters and one append
        device = sample['device_time_stamp']
        last, period = self._last_device, self.period_us
        if last is not None and period:
            gap = device - last
            if gap > 1.5 * period:
                self.missing += int(round(gap / period)) - 1
        self._last_device = device
        if sample['left_gaze_point_validity'] != 1:
            self.invalid['left'] += 1
        if sample['right_gaze_point_validity'] != 1:
            self.invalid['right'] += 1
        self.serial += 1
        self.recent.append((self.serial, sample))

    def _on_image(self, record):  # on a device library thread
        self.image_serial += 1
        self.images[record['camera_id']] = (self.image_serial, record['system_time_stamp'],
                                             record['image_data'])

    def since(self, serial):
        """Samples newer than `serial`, oldest first."""
        recent = list(self.recent)
        if not recent or recent[-1][0] <= serial:
            return []
        first = recent[0][0]
        return recent[max(0, serial + 1 - first):]

    def close(self):
        for subscription in (self.gaze, self.eye_images):
            if subscription is not None:
                try:
                    subscription.close()
                except velto.VeltoError:
                    pass


def sample_frame(sample):
    """The compact form of one gaze sample sent to the pages."""
    out = {'t': sample['system_time_stamp']}
    for eye in EYES:
        valid = sample[eye + '_gaze_point_validity'] == 1
        origin_valid = sample[eye + '_gaze_origin_validity'] == 1
        out[eye] = {
            'valid': valid,
            'point': rounded(sample[eye + '_gaze_point_on_display_area']) if valid else None,
            'box': rounded(sample[eye + '_gaze_origin_in_trackbox_coordinate_system'])
            if origin_valid else None,
            'pupil': number(round(sample[eye + '_pupil_diameter'], 2))
            if sample[eye + '_pupil_validity'] == 1 else None,
        }
    return out


def trail_point(sample):
    out = []
    for eye in EYES:
        if sample[eye + '_gaze_point_validity'] == 1:
            out.extend(rounded(sample[eye + '_gaze_point_on_display_area']))
        else:
            out.extend((None, None))
    return out


# ------------------------------------------------------------------ the manager

class Manager(object):
    """What the server serves: trackers, settings, live data, calibration,
    recording. `root` is the only folder anything is saved to or read from."""

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

    # -------------------------------------------------------------- calibration

    def calibration_start(self, kind='calibration'):
        with self.lock:
            tracker = self._current()
            if kind not in ('calibration', 'validation'):
                raise ApiError(400, 'kind must be calibration or validation')
            if self.calibration is not None:
                raise ApiError(409, 'a %s is running already (another tab?); stop it first'
                               % self.calibration['kind'])
            if kind == 'validation':
                if not hasattr(tracker, 'validate'):
                    raise ApiError(501, 'validation is not available in this version of velto')
                session = tracker.validate()
            else:
                session = tracker.calibrate()
            try:
                session.start() if hasattr(session, 'start') else session.__enter__()
            except velto.VeltoError as error:
                raise velto_error(error)
            self.calibration = {'kind': kind, 'session': session, 'points': [],
                                'touched': time.time(), 'result': None}
            return self.calibration_state()

    def _session(self):
        if self.calibration is None:
            raise ApiError(409, 'no calibration or validation is running')
        self.calibration['touched'] = time.time()
        return self.calibration['session']

    def calibration_point(self, x, y, times=3):
        with self.lock:
            session = self._session()
            try:
                x, y, times = float(x), float(y), int(times)
            except (TypeError, ValueError):
                raise ApiError(400, 'x and y must be numbers, times an integer')
            if not (0 <= x <= 1 and 0 <= y <= 1 and 1 <= times <= 20):
                raise ApiError(400, 'x and y must be within 0..1 and times within 1..20')
            try:
                session.collect(x, y, times=times)
            except velto.VeltoError as error:
                raise velto_error(error)
            self.calibration['points'].append([x, y])
            return self.calibration_state()

    def calibration_compute(self):
        with self.lock:
            session = self._session()
            try:
                result = session.compute()
            except velto.VeltoError as error:
                raise velto_error(error)
            out = result_dict(result)
            self.calibration['result'] = out
            self.last_result = dict(out, kind=self.calibration['kind'])
            return self.last_result

    def calibration_stop(self):
        with self.lock:
            self._end_calibration()
            return self.calibration_state()

    def _end_calibration(self):
        running, self.calibration = self.calibration, None
        if running is not None:
            try:
                running['session'].close()
            except velto.VeltoError as error:
                raise velto_error(error)

    def calibration_state(self):
        running = self.calibration
        return {'running': running is not None,
                'kind': running['kind'] if running else None,
                'points': list(running['points']) if running else [],
                'last_result': self.last_result}

    def calibration_save(self, name):
        with self.lock:
            tracker = self._current()
            path = resolve_under(self.root, name, 'calibration file')
            self._parent_exists(path)
            try:
                size = velto.save_calibration(tracker, path)
            except velto.VeltoError as error:
                raise velto_error(error)
            return {'path': path, 'bytes': size}

    def calibration_load(self, name):
        with self.lock:
            tracker = self._current()
            path = resolve_under(self.root, name, 'calibration file')
            try:
                size = velto.load_calibration(tracker, path)
            except velto.VeltoError as error:
                raise velto_error(error)
            return {'path': path, 'bytes': size}

    def calibration_files(self):
        found = []
        for folder, dirs, leaves in os.walk(self.root):
            dirs[:] = [d for d in dirs if not d.startswith('.')]
            for leaf in leaves:
                if leaf.endswith('.calibration'):
                    found.append(os.path.relpath(os.path.join(folder, leaf), self.root))
            if len(found) > 200:
                break
        return {'files': sorted(found)}

    def _parent_exists(self, path):
        if not os.path.isdir(os.path.dirname(path)):
            raise ApiError(400, 'the folder %s does not exist' % os.path.dirname(path))

    # -------------------------------------------------------------- recording

    def recording_start(self, folder):
        with self.lock:
            tracker = self._current()
            if self.recording is not None:
                raise ApiError(409, 'a recording is running already into %s'
                               % self.recording.folder)
            if self.calibration is not None:
                raise ApiError(409, 'end the %s before recording' % self.calibration['kind'])
            path = resolve_under(self.root, folder, 'recording folder')
            parent = os.path.dirname(path)
            try:
                if not os.path.isdir(parent):
                    os.makedirs(parent)
                # Made again after the check: a link put in meanwhile still cannot lead out.
                if resolve_under(self.root, os.path.relpath(path, self.root)) != path:
                    raise ApiError(403, 'the recording folder changed while it was made')
                recording = tracker.record(path)
            except velto.VeltoError as error:
                raise velto_error(error)
            except EnvironmentError as error:
                raise ApiError(400 if error.errno != errno.EACCES else 403,
                               'cannot record into %s: %s' % (path, error.strerror))
            self.markers = 0
            live = self.live
            self.recording_info = {'folder': path, 'relative': os.path.relpath(path, self.root),
                                   'started': time.time(), 'frequency': self.frequency,
                                   'missing_at_start': live.missing if live else 0}
            self.recording = recording  # after its info: status() reads both without the lock
            return self.recording_state()

    def recording_stop(self):
        with self.lock:
            recording, self.recording = self.recording, None
            if recording is None:
                raise ApiError(409, 'no recording is running')
            state = self._recording_figures(recording, self.recording_info)
            try:
                recording.close()
            except velto.VeltoError as error:
                raise velto_error(error)
            state.update(self._recording_figures(recording, self.recording_info))
            state['running'] = False
            state['complete'] = recording.write_error is None
            self.recording_info = dict(self.recording_info, last=state)
            return state

    def recording_marker(self, label, fields=None):
        with self.lock:
            recording = self.recording
            if recording is None:
                raise ApiError(409, 'no recording is running')
            if not hasattr(recording, 'mark'):
                raise ApiError(501, 'markers are not available in this version of velto')
            if isinstance(label, bytes):
                label = label.decode('utf-8', 'replace')
            if not isinstance(label, type('')) or not label.strip() or len(label) > 200:
                raise ApiError(400, 'a marker needs a label of 1 to 200 characters')
            fields = dict((str(k), v) for k, v in (fields or {}).items())
            try:
                recording.mark(label, **fields)
            except velto.VeltoError as error:
                raise velto_error(error)
            except (TypeError, ValueError) as error:
                raise ApiError(400, text(str(error)))
            self.markers += 1
            return self.recording_state()

    def _recording_figures(self, recording, info):
        elapsed = time.time() - info['started']
        expected = int(elapsed * info['frequency']) if info['frequency'] else None
        live = self.live
        missing = live.missing - info['missing_at_start'] if live is not None else None
        return {'folder': info['folder'], 'relative': info['relative'], 'seconds': elapsed,
                'gaze_rows': recording.gaze_rows, 'expected_rows': expected,
                'missing_samples': missing,
                'events': dict((text(k), v) for k, v in dict(recording.event_counts).items()),
                'markers': self.markers,
                'write_error': text(str(recording.write_error)) if recording.write_error else None}

    def recording_state(self):
        recording, info = self.recording, self.recording_info
        if recording is None:
            return {'running': False, 'last': info.get('last') if info else None,
                    'can_mark': False}
        state = self._recording_figures(recording, info)
        state['running'] = True
        state['can_mark'] = hasattr(recording, 'mark')
        return state

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


def result_dict(result):
    """A calibration (or validation) result as JSON for the page: the
    quality table and each point's samples."""
    if hasattr(result, 'to_dict'):
        out = result.to_dict()
    else:
        out = {}
    samples = []
    for point in getattr(result, 'raw_points', None) or []:
        try:
            samples.append({
                'target': rounded(point['position'], 6),
                'left': rounded(point['left_sample_position'], 5),
                'left_valid': point['left_validity'] == 1,
                'right': rounded(point['right_sample_position'], 5),
                'right_valid': point['right_validity'] == 1})
        except (KeyError, TypeError):
            continue
    out['samples'] = samples
    out['report'] = text(str(result))
    return clean(out)


def clean(value):
    """JSON-safe data: NaN and infinity as None, tuples as lists, bytes as text."""
    if isinstance(value, dict):
        return dict((text(k), clean(v)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return [clean(v) for v in value]
    if isinstance(value, float):
        return number(value)
    if isinstance(value, bytes):
        return text(value)
    return value


def image_data_url(data):
    return 'data:image/gif;base64,' + base64.b64encode(data).decode('ascii')
