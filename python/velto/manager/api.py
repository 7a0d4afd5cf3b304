"""The JSON API: one table of (method, path) -> handler(manager, body).

GET requests read; POST requests change state and need the run's token
(checked by the server before a handler runs). Every handler returns plain
JSON-able data or raises state.ApiError.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

from .state import ApiError


def _field(body, name, required=True):
    if name not in body:
        if required:
            raise ApiError(400, 'the request needs "%s"' % name)
        return None
    return body[name]


def _settings(manager, body):
    wanted = dict((k, body.get(k)) for k in ('frequency', 'mode', 'name') if body.get(k) is not None)
    if not wanted:
        raise ApiError(400, 'give frequency, mode or name')
    return manager.change_settings(**wanted)


def _start(kind):
    def start(manager, body):
        return manager.calibration_start(kind)
    return start


ROUTES = {
    ('GET', '/api/trackers'): lambda m, b: m.tracker_list(),
    ('POST', '/api/trackers/find'): lambda m, b: m.discover(),
    ('POST', '/api/trackers/select'): lambda m, b: m.select(_field(b, 'address')),
    ('GET', '/api/tracker'): lambda m, b: m.tracker_state(),
    ('POST', '/api/tracker/settings'): _settings,
    ('GET', '/api/status'): lambda m, b: m.status(),
    ('GET', '/api/calibration'): lambda m, b: m.calibration_state(),
    ('POST', '/api/calibration/start'): _start('calibration'),
    ('POST', '/api/validation/start'): _start('validation'),
    ('POST', '/api/calibration/point'): lambda m, b: m.calibration_point(
        _field(b, 'x'), _field(b, 'y'), b.get('times', 3)),
    ('POST', '/api/calibration/compute'): lambda m, b: m.calibration_compute(),
    ('POST', '/api/calibration/stop'): lambda m, b: m.calibration_stop(),
    ('POST', '/api/calibration/save'): lambda m, b: m.calibration_save(_field(b, 'file')),
    ('POST', '/api/calibration/load'): lambda m, b: m.calibration_load(_field(b, 'file')),
    ('GET', '/api/calibration/files'): lambda m, b: m.calibration_files(),
    ('GET', '/api/recording'): lambda m, b: m.recording_state(),
    ('POST', '/api/recording/start'): lambda m, b: m.recording_start(_field(b, 'folder')),
    ('POST', '/api/recording/stop'): lambda m, b: m.recording_stop(),
    ('POST', '/api/recording/marker'): lambda m, b: m.recording_marker(
        _field(b, 'label'), b.get('fields')),
}


def handle(manager, method, path, body):
    """Runs the handler of (method, path); ApiError 404/405 when there is none."""
    handler = ROUTES.get((method, path))
    if handler is None:
        if any(p == path for _, p in ROUTES):
            raise ApiError(405, '%s is not allowed on %s' % (method, path))
        raise ApiError(404, 'no such endpoint: %s' % path)
    if body is not None and not isinstance(body, dict):
        raise ApiError(400, 'the request body must be a JSON object')
    return handler(manager, body or {})
