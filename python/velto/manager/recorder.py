"""Recording from the page: starting and stopping the tracker's recording
into a folder under the save folder, markers, and its running figures. A
part of state.Manager: it works on the manager's lock, tracker, live
streams, `recording`, `recording_info` and `markers`.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import errno
import os
import time

import velto

from .values import ApiError, resolve_under, text, velto_error


class RecordingSteps(object):
    """The recording requests of state.Manager."""

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
            state['complete'] = bool(recording.complete)
            state['intact'] = bool(recording.intact)
            state['damage'] = [text(d) for d in recording.metadata.get('damage') or []]
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
