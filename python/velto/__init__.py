"""velto: eye trackers for researchers, on top of the velto_internal module.

    import velto

    with velto.open_tracker() as tracker:              # the first tracker found
        with tracker.calibrate() as calibration:
            for x, y in velto.FIVE_POINTS:
                calibration.collect(x, y)              # show a target there first
            print(calibration.compute())               # accuracy and precision in degrees
        with tracker.record('session-01') as recording:
            recording.wait(60)                         # Ctrl-C stops early; nothing is lost

Every operation waits for its result (10 s by default, `tracker.timeout`)
and returns plain data or raises VeltoError. The module starts with the
first tracker or subscription opened and stops when the last one is closed
(or at interpreter exit). Tutorial and reference: docs/python-api.md.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

from .analysis import detect_fixations, effective_rate, gaze_track, scanpath_svg, valid_share, \
    write_svg
from .calibration import FIVE_POINTS, NINE_POINTS, CalibrationFileError, CalibrationResult, \
    CalibrationSession, EyeQuality, calibration_quality, load_calibration, save_calibration, \
    visual_angle
from .clock import ClockEstimate, ClockSync, estimate_clock
from .errors import STATUS_NAMES, VeltoError, VeltoTimeout, status_name
from .replay import replay
from .recording import COLUMN_SETS, Recording, SavedRecording, gaze_row, load_recording
from .streams import EVENT_STREAMS, STREAM_TYPES, Subscription
from .tracker import DisplayArea, TrackBox, Tracker, call, find_trackers, library_version, \
    log_messages, open_tracker, system_time, terminate, versions


def _version():
    """The project's version: that of the module the package works with (which
    the build takes from the source tree's VERSION file), else that file."""
    try:
        import velto_internal
        return velto_internal.__version__
    except ImportError:
        pass
    import io
    import os
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'VERSION')
    try:
        with io.open(path, encoding='ascii') as stream:
            return str(stream.read().strip())
    except (IOError, OSError):
        return 'unknown'


__version__ = _version()

__all__ = [
    'CalibrationFileError', 'CalibrationResult', 'CalibrationSession', 'ClockEstimate',
    'ClockSync', 'COLUMN_SETS', 'DisplayArea', 'EVENT_STREAMS', 'EyeQuality', 'FIVE_POINTS',
    'NINE_POINTS', 'Recording', 'SavedRecording', 'STATUS_NAMES', 'STREAM_TYPES', 'Subscription',
    'TrackBox', 'Tracker', 'VeltoError', 'VeltoTimeout', 'calibration_quality', 'call',
    'detect_fixations', 'effective_rate', 'estimate_clock', 'find_trackers', 'gaze_row',
    'gaze_track', 'library_version', 'load_calibration', 'load_recording', 'log_messages',
    'open_tracker', 'save_calibration', 'scanpath_svg', 'status_name', 'system_time', 'terminate',
    'valid_share', 'versions', 'visual_angle', 'write_svg',
]
