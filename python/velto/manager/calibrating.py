"""Driving a calibration or validation for the pages (one at a time, owned
by the server), and saving and loading calibration files under the save
folder. A part of state.Manager: it works on the manager's lock, tracker,
`calibration` and `last_result`.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import os
import time

import velto

from .values import ApiError, clean, resolve_under, rounded, text, velto_error


class CalibrationSteps(object):
    """The calibration and validation requests of state.Manager."""

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
