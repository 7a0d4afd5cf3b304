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

from . import _runtime
from .analysis import detect_fixations, effective_rate, gaze_track, scanpath_svg, valid_share, \
    write_svg
from .bids import export_bids
from .calibration import FIVE_POINTS, NINE_POINTS, CalibrationFileError, CalibrationResult, \
    CalibrationSession, EyeQuality, calibration_quality, load_calibration, save_calibration
from .clock import ClockEstimate, ClockSync, estimate_clock
from .columns import COLUMN_SETS, gaze_row
from .errors import STATUS_NAMES, ConnectionLost, VeltoError, VeltoTimeout, status_name
from .geometry import DisplayArea, TrackBox, visual_angle
from .quality import recording_quality
from .reader import SavedRecording, load_recording
from .recording import Recording, Terminated
from .replay import replay
from .streams import EVENT_STREAMS, STREAM_TYPES, Subscription
from .validation import ValidationResult, ValidationSession
from .tracker import Tracker, call, find_trackers, library_version, log_messages, open_tracker, \
    system_time, terminate, versions

__version__ = _runtime.package_version()

__all__ = [
    'calibration_quality', 'CalibrationFileError', 'CalibrationResult', 'CalibrationSession',
    'call', 'ClockEstimate', 'ConnectionLost', 'ClockSync', 'COLUMN_SETS', 'detect_fixations', 'DisplayArea',
    'effective_rate', 'estimate_clock', 'EVENT_STREAMS', 'export_bids', 'EyeQuality',
    'find_trackers', 'FIVE_POINTS', 'gaze_row', 'gaze_track', 'library_version',
    'load_calibration', 'load_recording', 'log_messages', 'NINE_POINTS', 'open_tracker',
    'Recording', 'recording_quality', 'save_calibration', 'SavedRecording', 'scanpath_svg',
    'status_name', 'STATUS_NAMES', 'STREAM_TYPES', 'Subscription', 'system_time', 'terminate',
    'Terminated', 'TrackBox', 'Tracker', 'valid_share', 'ValidationResult', 'ValidationSession',
    'VeltoError', 'VeltoTimeout', 'versions',
    'visual_angle', 'write_svg',
]
