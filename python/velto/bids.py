"""A recording as BIDS eye-tracking data (BIDS 1.11, physiological
recordings of PhysioType "eyetrack").

    velto.export_bids('session-01', 'study', subject='01', task='search',
                      screen_resolution=(1920, 1080), screen_distance_m=0.65)

writes, under study/sub-01/beh/: a gaze file per eye
(..._recording-eye1_physio.tsv.gz: left, eye2: right) with its sidecar, a
physiological events file per eye (markers, fixations, gaps, stream errors)
with its sidecar, and the task events (markers) with the screen's geometry;
and study/dataset_description.json when it is missing. Every file is
written under a temporary name and renamed when all are complete. Layout,
columns and units: docs/python-api.md, "BIDS export".
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import json
import math
import os

from ._compat import integer_types, string_types, to_unicode
from .analysis import detect_fixations, gaze_track
from .bids_files import (Staging, entity_label, export_stem, json_bytes, run_index, tsv_bytes,
                         tsv_number, tsv_text)
from .quality import find_gaps, nominal_rate
from .salvage import SalvagedRecording, read_recording
from .files import path_text

BIDS_VERSION = '1.11.0'
# Folders in which BIDS places physiological recordings.
DATATYPES = ('beh', 'func', 'eeg', 'meg', 'ieeg', 'nirs', 'motion', 'pet', 'perf', 'anat', 'dwi',
             'fmap', 'micr')
EYES = (('left', 'eye1'), ('right', 'eye2'))
SCREEN_ORIGIN = ['top', 'left']

ExportResult = collections.namedtuple('ExportResult', 'files problems')


class MissingInformation(ValueError):
    """The export needs something a recording does not hold; `options` names
    the keyword arguments to give (`flags`: the command line's options)."""

    def __init__(self, message, options, flags):
        ValueError.__init__(self, message % ' and '.join(options))
        self.options = options
        self.flags = flags
        self.template = message

    def for_command_line(self):
        return self.template % ' and '.join(self.flags)


def _resolution(value):
    try:
        width, height = value
        if int(width) != width or int(height) != height or width <= 0 or height <= 0:
            raise ValueError(value)
    except (TypeError, ValueError):
        raise ValueError('screen_resolution must be two whole numbers above zero (width, height '
                         'in pixels), not %s' % (value,))
    return [int(width), int(height)]


def _distance(value):
    try:
        value = float(value)
    except (TypeError, ValueError):
        value = float('nan')
    if not (value > 0 and not math.isinf(value)):
        raise ValueError('screen_distance_m must be a distance above zero in metres')
    return value


def _finite(value):
    return (isinstance(value, integer_types + (float,)) and not isinstance(value, bool)
            and not (math.isnan(value) or math.isinf(value)))


def _dict(value):
    return value if isinstance(value, dict) else {}


# -------------------------------------------------------------------- content

_UNITS = {'us': 'us', 'mm': 'mm', 'track box': 'arbitrary'}
_FLAG_LEVELS = dict(('%d' % value, ', '.join(name for bit, name in ((1, 'gaze point'), (2, 'pupil'),
                                                                     (4, 'gaze origin'))
                                             if value & bit) or 'nothing valid (a blink, say)')
                    for value in range(8))


def _gaze_columns(saved, eye, resolution):
    """[(BIDS name, recording column, digits, sidecar entry)] of one eye's gaze file."""
    listed = saved.metadata.get('columns')
    described = dict((c.get('name'), c) for c in (listed if isinstance(listed, list) else [])
                     if isinstance(c, dict))
    axis = {'x': ('horizontal', 'the left edge', resolution[0]),
            'y': ('vertical', 'the top edge', resolution[1])}
    columns = [('timestamp', 'time_us', 0, {
        'Description': 'sample time stamp: system clock time minus the recording start, whole '
                       'microseconds (the recording\'s time_us; add StartTimeSystemClock for the '
                       'system clock)',
        'Units': 'us', 'Origin': 'recording start'})]
    for name in ('x', 'y'):
        direction, edge, pixels = axis[name]
        columns.append(('%s_coordinate' % name, '%s_%s' % (eye, name), 3, {
            'LongName': 'gaze position (%s)' % name,
            'Description': 'the %s eye\'s gaze point on the screen, %s position in pixels from %s '
                           '(the display area\'s normalised coordinate times %d pixels); outside '
                           '0..%d: off the screen; n/a when not valid'
                           % (eye, direction, edge, pixels, pixels),
            'Units': 'pixel'}))
    columns.append(('pupil_size', eye + '_pupil', 4, {
        'Description': 'the %s eye\'s pupil diameter as measured by the eye tracker; n/a when not '
                       'valid' % eye, 'Units': 'mm'}))
    other = 'right' if eye == 'left' else 'left'
    taken = set(['time_us', eye + '_x', eye + '_y', eye + '_pupil'])
    for column in saved.columns:
        if column in taken or column.startswith(other + '_'):
            continue
        name = column[len(eye) + 1:] if column.startswith(eye + '_') else column
        info = described.get(column, {})
        unit = info.get('unit') if isinstance(info.get('unit'), string_types) else None
        entry = {'Description': to_unicode(info.get('description') or column)}
        if unit in ('flags', 'code'):
            entry['Units'] = 'n/a'
            if unit == 'flags':
                entry['Levels'] = _FLAG_LEVELS
        else:
            entry['Units'] = _UNITS.get(unit, 'n/a')
        digits = 0 if column.endswith(('_us', '_valid', '_validity')) else 4
        columns.append((name, column, digits, entry))
    return columns


def _scale(column, resolution):
    if column.endswith('_x'):
        return resolution[0]
    if column.endswith('_y'):
        return resolution[1]
    return None


def _gaze_lines(saved, columns, resolution):
    scales = [_scale(source, resolution) if name in ('x_coordinate', 'y_coordinate') else None
              for name, source, _, _ in columns]
    for row in saved.gaze:
        if not _finite(row.get('time_us')):
            continue
        cells = []
        for (name, source, digits, _), scale in zip(columns, scales):
            value = row.get(source, float('nan'))
            if scale is not None and _finite(value):
                value = value * scale
            cells.append(tsv_number(value, digits))
        yield '\t'.join(cells) + '\n'


def _fixation_events(saved, eye):
    rows = [{'time_us': row['time_us'], 'left_x': row.get(eye + '_x', float('nan')),
             'left_y': row.get(eye + '_y', float('nan')),
             'right_x': float('nan'), 'right_y': float('nan')}
            for row in saved.gaze if _finite(row.get('time_us'))]
    if not rows:
        return []
    area = saved.metadata['display_area']
    first = rows[0]['time_us']
    events = []
    for fixation in detect_fixations(gaze_track(rows, float(area['width']), float(area['height']))):
        events.append((first + int(round(fixation.start * 1e6)), fixation.duration, 'fixation',
                       None))
    return events


def _stream_events(saved):
    """(onset us, duration s or None, trial_type or None, message) of the
    markers, gaps and stream errors: the same for both eyes."""
    events = []
    skipped = 0
    for event in saved.events:
        stream = event.get('stream')
        onset = event.get('t_us')
        if stream not in ('marker', 'stream_errors', 'recording'):
            continue
        if stream == 'recording' and event.get('event') not in ('connection_lost',
                                                                 'connection_restored'):
            continue
        if not _finite(onset):
            skipped += 1
            continue
        onset = int(round(onset))
        if stream == 'marker':
            fields = event.get('fields')
            message = to_unicode(event.get('label', ''))
            if fields:
                message += ' ' + json.dumps(fields, sort_keys=True)
            events.append((onset, None, None, message))
        elif stream == 'stream_errors':
            events.append((onset, None, 'stream_error', '%s (%s): %s' % (
                event.get('error'), event.get('source'), event.get('message') or '')))
        else:
            events.append((onset, None, event['event'], None))
    gaps, _ = find_gaps(saved, nominal_rate(saved))
    for gap in gaps:
        duration = gap.duration_us / 1e6 if _finite(gap.duration_us) else None
        events.append((int(gap.t_us), duration, 'gap', '%s samples missing' % (
            gap.missing_samples if gap.missing_samples is not None else 'n/a')))
    return events, skipped


_PHYSIOEVENTS_SIDECAR = {
    'Columns': ['onset', 'duration', 'trial_type', 'message'],
    'Description': 'Fixations detected in this eye\'s gaze (dispersion threshold, 30 mm, at least '
                   '100 ms), gaps in the gaze data, stream errors, connection changes and the '
                   'experiment\'s markers',
    'OnsetSource': 'timestamp',
    'onset': {'Description': 'time of the event on the clock of the gaze file\'s timestamp '
                             'column', 'Units': 'us'},
    'duration': {'Description': 'duration of the event; n/a for instantaneous ones', 'Units': 's'},
    'trial_type': {'Description': 'kind of event; n/a for a marker',
                   'Levels': {'fixation': 'a fixation: onset at its first sample, duration to '
                                          'its last',
                              'gap': 'samples missing from the gaze data (not delivered): onset '
                                     'at the first missing one',
                              'stream_error': 'an error reported by the eye tracker\'s data '
                                              'streams',
                              'connection_lost': 'the connection to the eye tracker was lost',
                              'connection_restored': 'the connection came back'}},
    'message': {'Description': 'a marker\'s label (followed by its fields as a JSON object when '
                               'it has any), the text of a stream error, or the number of '
                               'samples a gap misses'},
}


def _calibration_fields(metadata, eye, resolution):
    """Sidecar calibration fields of one eye from the metadata's validation
    (when there is one) or else its calibration."""
    source = metadata.get('validation')
    if not isinstance(source, dict):
        source = metadata.get('calibration')
    fields = {}
    if isinstance(metadata.get('calibration'), dict):
        fields['CalibrationCount'] = 1
    if not isinstance(source, dict):
        return fields
    overall = source.get(eye)
    if isinstance(overall, dict) and _finite(overall.get('accuracy_deg')):
        fields['AverageCalibrationError'] = overall['accuracy_deg']
    points = source.get('points')
    points = [p for p in points if isinstance(p, dict)] if isinstance(points, list) else []
    errors = [p[eye]['accuracy_deg'] for p in points
              if isinstance(p.get(eye), dict) and _finite(p[eye].get('accuracy_deg'))]
    if errors:
        fields['MaximalCalibrationError'] = max(errors)
    targets = []
    for point in points:
        target = point.get('target')
        if (isinstance(target, list) and len(target) == 2 and all(_finite(v) for v in target)
                and target not in targets):
            targets.append(target)
    if targets:
        fields['CalibrationType'] = 'HV%d' % len(targets)
        fields['CalibrationPosition'] = [[round(x * resolution[0], 1), round(y * resolution[1], 1)]
                                         for x, y in targets]
        fields['CalibrationUnit'] = 'pixel'
    return fields


def _hardware_fields(metadata):
    tracker = _dict(metadata.get('tracker'))
    versions = _dict(metadata.get('versions'))
    fields = {}
    for key, field in (('manufacturer', 'Manufacturer'), ('model', 'ManufacturersModelName'),
                       ('serial_number', 'DeviceSerialNumber')):
        if tracker.get(key):
            fields[field] = to_unicode(tracker[key])
    software = ['%s %s' % (what, to_unicode(value)) for what, value in (
        ('firmware', tracker.get('firmware_version')), ('device library', versions.get('device_library')))
        if value]
    if software:
        fields['SoftwareVersions'] = '; '.join(software)
    return fields


def _sampling_frequency(saved):
    nominal = nominal_rate(saved)
    if nominal:
        return nominal
    times = [row['time_us'] for row in saved.gaze if _finite(row.get('time_us'))]
    if len(times) >= 2 and times[-1] > times[0]:
        return round((len(times) - 1) / ((times[-1] - times[0]) / 1e6), 2)
    return None


def export_bids(recording_folder, bids_root, subject, task, session=None, run=None, datatype='beh',
                screen_resolution=None, screen_distance_m=None, overwrite=False):
    """Writes a recording into a BIDS dataset at `bids_root` (made if
    missing); returns ExportResult(files, problems): the paths written and
    the damage found in the recording (exported as far as it could be read).
    `screen_resolution` (width, height in pixels) and `screen_distance_m`
    (eye to screen, metres) are not in a recording and must be given
    (MissingInformation, a ValueError, otherwise). Existing files are
    replaced only with `overwrite`."""
    recording_folder, bids_root = path_text(recording_folder, 'the recording folder'), \
        path_text(bids_root, 'the BIDS folder')
    subject = entity_label('subject', subject)
    task = entity_label('task', task)
    session = None if session is None else entity_label('session', session)
    run = None if run is None else run_index(run)
    if datatype not in DATATYPES:
        raise ValueError('datatype must be one of %s, not "%s"' % (', '.join(DATATYPES), datatype))
    missing = [(what, option, flag) for value, what, option, flag in (
        (screen_resolution, 'the screen\'s pixel resolution', 'screen_resolution=(WIDTH, HEIGHT)',
         '--screen-resolution WIDTH HEIGHT'),
        (screen_distance_m, 'the viewing distance', 'screen_distance_m=METRES',
         '--screen-distance METRES')) if value is None]
    if missing:
        raise MissingInformation('a recording does not hold %s: give %%s'
                                 % ' or '.join(m[0] for m in missing),
                                 [m[1] for m in missing], [m[2] for m in missing])
    resolution = _resolution(screen_resolution)
    distance = _distance(screen_distance_m)

    saved, problems = read_recording(to_unicode(recording_folder))
    metadata = saved.metadata
    area = metadata.get('display_area') if isinstance(metadata, dict) else None
    if not metadata or not isinstance(area, dict) or not all(
            _finite(area.get(k)) and area.get(k) > 0 for k in ('width', 'height')):
        raise ValueError('the recording in %s cannot be exported: its metadata (with the display '
                         'area) cannot be read%s' % (recording_folder, (' (%s)' % problems[0])
                                                     if problems else ''))
    needed = [c for c in ('time_us', 'left_x', 'left_y', 'left_pupil', 'right_x', 'right_y',
                          'right_pupil') if c not in saved.columns]
    if needed:
        raise ValueError('the recording in %s cannot be exported: gaze.csv lacks the column%s %s'
                         % (recording_folder, '' if len(needed) == 1 else 's', ', '.join(needed)))
    frequency = _sampling_frequency(saved)
    if frequency is None:
        raise ValueError('the recording in %s cannot be exported: no gaze output frequency in '
                         'its metadata and too few samples to measure it' % recording_folder)

    root = os.path.abspath(to_unicode(bids_root))
    folder, stem = export_stem(root, subject, task, session, run, datatype)

    def path(suffix):
        return os.path.join(folder, stem + suffix)
    targets = [path('_recording-%s_%s' % (label, kind)) for _, label in EYES
               for kind in ('physio.tsv.gz', 'physio.json', 'physioevents.tsv.gz',
                            'physioevents.json')] + [path('_events.tsv'), path('_events.json')]
    if not overwrite:
        present = [t for t in targets if os.path.exists(t)]
        if present:
            raise ValueError('%s exists already: pass overwrite=True (--overwrite) to replace the '
                             'export' % present[0])
    if os.path.exists(root) and not os.path.isdir(root):
        raise ValueError('%s is not a folder' % root)

    times = [row['time_us'] for row in saved.gaze if _finite(row.get('time_us'))]
    start_time = times[0] / 1e6 if times else 0.0
    shared_events, skipped = _stream_events(saved)
    if skipped:
        problems = problems + ['%d marker or stream error event%s without a time left out'
                               % (skipped, '' if skipped == 1 else 's')]
    staging = Staging()
    try:
        for eye, label in EYES:
            columns = _gaze_columns(saved, eye, resolution)
            sidecar = {'SamplingFrequency': frequency, 'StartTime': start_time,
                       'Columns': [c[0] for c in columns], 'PhysioType': 'eyetrack',
                       'RecordedEye': eye, 'SampleCoordinateSystem': 'gaze-on-screen'}
            sidecar.update(_hardware_fields(metadata))
            sidecar.update(_calibration_fields(metadata, eye, resolution))
            start = _dict(metadata.get('start'))
            if _finite(start.get('system_time_us')):
                sidecar['StartTimeSystemClock'] = start['system_time_us']
            for name, _, _, entry in columns:
                sidecar[name] = entry
            staging.write(path('_recording-%s_physio.tsv.gz' % label),
                          lines=_gaze_lines(saved, columns, resolution), compress=True)
            staging.write(path('_recording-%s_physio.json' % label), json_bytes(sidecar))
            events = sorted(shared_events + _fixation_events(saved, eye),
                            key=lambda e: (e[0], e[2] or ''))
            rows = [[tsv_number(onset), 'n/a' if duration is None else tsv_number(duration, 6),
                     tsv_text(kind), tsv_text(message)] for onset, duration, kind, message in events]
            staging.write(path('_recording-%s_physioevents.tsv.gz' % label), tsv_bytes(rows),
                          compress=True)
            staging.write(path('_recording-%s_physioevents.json' % label),
                          json_bytes(_PHYSIOEVENTS_SIDECAR))
        markers = [e for e in saved.events if e.get('stream') == 'marker' and _finite(e.get('t_us'))]
        rows = [['onset', 'duration', 'trial_type', 'fields']]
        for marker in sorted(markers, key=lambda e: e['t_us']):
            fields = marker.get('fields')
            rows.append([tsv_number(marker['t_us'] / 1e6, 6), '0', tsv_text(marker.get('label')),
                         tsv_text(json.dumps(fields, sort_keys=True) if fields else None)])
        staging.write(path('_events.tsv'), tsv_bytes(rows))
        staging.write(path('_events.json'), json_bytes({
            'onset': {'Description': 'time of the marker in seconds from the recording start (the '
                                     'origin of the gaze files\' StartTime)', 'Units': 's'},
            'duration': {'Description': 'markers are instantaneous', 'Units': 's'},
            'trial_type': {'Description': 'the marker\'s label'},
            'fields': {'Description': 'the marker\'s fields as a JSON object; n/a when it has none'},
            'StimulusPresentation': {
                'ScreenDistance': distance, 'ScreenOrigin': SCREEN_ORIGIN,
                'ScreenResolution': resolution,
                'ScreenSize': [float(area['width']) / 1000.0, float(area['height']) / 1000.0]}}))
        description = os.path.join(root, 'dataset_description.json')
        if not os.path.exists(description):
            staging.write(description, json_bytes({
                'Name': os.path.basename(root) or 'eye tracking', 'BIDSVersion': BIDS_VERSION,
                'DatasetType': 'raw'}))
            targets.append(description)
        staging.commit()
    except BaseException:
        staging.discard()
        raise
    if isinstance(saved, SalvagedRecording) or saved.truncated:
        problems = problems or ['the recording is damaged']
    return ExportResult(targets, problems)
