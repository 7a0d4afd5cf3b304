"""Data quality of a recording: samples and rate, data loss per eye, gaps,
precision within fixations, time stamp order, the clock relation, and what
is damaged or missing.

    report = velto.recording_quality('session-01')   # plain JSON-able dict
    print(velto.quality.format_report(report))

A damaged folder (metadata missing, a line cut off, a bad JSON line, no end
marker) gives a report too, of what could be read, with the damage listed.
Definitions and formulas: docs/python-api.md, "Data quality".
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import bisect
import collections
import math

from ._compat import integer_types, string_types, to_unicode
from .analysis import detect_fixations, gaze_track
from .geometry import visual_angle
from .files import path_text
from . import reader
# The tolerant reading of a recording (salvage.py); its names stay importable from here.
from .salvage import EVENTS_FILE, GAZE_FILE, METADATA_FILE, SalvagedRecording, read_recording

EYES = ('left', 'right')
# An interval between samples longer than this many nominal intervals is a gap.
GAP_FACTOR = 1.5


class Gap(collections.namedtuple('Gap', 't_us duration_us missing_samples before after')):
    """t_us: time of the first missing sample (time_us clock); duration_us:
    the missing stretch (interval - nominal interval); missing_samples:
    estimated count; before, after: indices of the rows around it (None at
    either end)."""
    __slots__ = ()


# -------------------------------------------------------------------- geometry

def _sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def _cross(u, v):
    return (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])


def _norm(u):
    return math.sqrt(u[0] ** 2 + u[1] ** 2 + u[2] ** 2)


def _display_area(saved):
    """(top_left, top_right, bottom_left, width, height) of the display area, or None."""
    area = getattr(saved, 'display_area', None)
    try:
        if area is None:
            area = saved.metadata['display_area']
            tl, tr, bl = (tuple(float(v) for v in area[k]) for k in ('top_left', 'top_right',
                                                                     'bottom_left'))
            width, height = float(area['width']), float(area['height'])
        else:
            tl, tr, bl, width, height = (area.top_left, area.top_right, area.bottom_left,
                                         area.width, area.height)
    except (KeyError, TypeError, ValueError, AttributeError):
        return None
    if not (width > 0 and height > 0 and len(tl) == len(tr) == len(bl) == 3):
        return None
    return tl, tr, bl, width, height


def _on_display(area, x, y):
    """A normalised display-area point in mm, user coordinate system."""
    tl, tr, bl = area[:3]
    return tuple(tl[i] + x * (tr[i] - tl[i]) + y * (bl[i] - tl[i]) for i in range(3))


def _assumed_eye(saved, area, viewing_distance_mm):
    """(eye position (x, y, z) mm, how it was chosen) when the rows hold no
    gaze origin: the given distance straight out from the display centre,
    else the track box centre; (None, reason) when neither is known."""
    if viewing_distance_mm:
        tl, tr, bl = area[:3]
        normal = _cross(_sub(bl, tl), _sub(tr, tl))  # points towards the user
        length = _norm(normal)
        centre = _on_display(area, 0.5, 0.5)
        return (tuple(centre[i] + normal[i] / length * viewing_distance_mm for i in range(3)),
                '%g mm in front of the display centre (given)' % viewing_distance_mm)
    box = saved.metadata.get('track_box')
    try:
        corners = [tuple(float(v) for v in corner) for corner in box.values()]
        if len(corners) == 8 and all(len(c) == 3 and all(_finite(v) for v in c) for c in corners):
            return (tuple(sum(c[i] for c in corners) / 8.0 for i in range(3)),
                    'track box centre (assumed: the rows hold no gaze origin)')
    except (AttributeError, TypeError, ValueError):
        pass
    return None, 'unknown (no gaze origin, no track box): precision in mm on the screen only'


# -------------------------------------------------------------------- figures

def _finite(value):
    return (isinstance(value, integer_types + (float,)) and not isinstance(value, bool)
            and not (math.isnan(value) or math.isinf(value)))


def _valid(row, eye):
    return _finite(row.get(eye + '_x')) and _finite(row.get(eye + '_y'))


def _lost(row):
    return not (_valid(row, 'left') or _valid(row, 'right'))


def nominal_rate(saved):
    """The gaze output frequency in the metadata (Hz), or None."""
    value = saved.metadata.get('gaze_output_frequency_hz')
    return float(value) if _finite(value) and value > 0 else None


def find_gaps(saved, nominal_hz=None):
    """(gaps, source): Gap records from the recording's "gap" events when it
    has any, else from intervals between time_us longer than GAP_FACTOR
    nominal intervals (the median interval without a nominal rate)."""
    rows = [row for row in saved.gaze if _finite(row.get('time_us'))]
    times = [row['time_us'] for row in rows]
    events = [e for e in saved.events if e.get('stream') == 'gap' and _finite(e.get('t_us'))]
    if events:
        gaps = []
        for event in events:
            after = bisect.bisect_left(times, event['t_us'])
            duration, missing = event.get('duration_us'), event.get('missing_samples')
            gaps.append(Gap(event['t_us'], duration if _finite(duration) else None,
                            missing if isinstance(missing, integer_types) and missing >= 0 else None,
                            after - 1 if after > 0 else None, after if after < len(times) else None))
        return gaps, 'gap events'
    steps = [b - a for a, b in zip(times, times[1:])]
    if nominal_hz:
        interval = 1e6 / nominal_hz
    else:
        positive = sorted(s for s in steps if s > 0)
        if not positive:
            return [], 'time stamps'
        interval = float(positive[len(positive) // 2])
    gaps = []
    for index, step in enumerate(steps):
        if step > GAP_FACTOR * interval:
            gaps.append(Gap(int(round(times[index] + interval)), int(round(step - interval)),
                            max(1, int(round(step / interval)) - 1), index, index + 1))
    return gaps, 'time stamps'


def _gap_in_blink(rows, gap):
    """Both neighbouring samples hold no gaze point of either eye."""
    if gap.before is None or gap.after is None:
        return False
    return _lost(rows[gap.before]) and _lost(rows[gap.after])


def _rms(values):
    return math.sqrt(sum(v * v for v in values) / len(values))


def _median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return ordered[middle]
    return (ordered[middle - 1] + ordered[middle]) / 2.0


def _origin(row, eye):
    point = tuple(row.get('%s_origin_%s_mm' % (eye, axis)) for axis in 'xyz')
    return point if all(_finite(v) for v in point) else None


def _mean_point(points):
    return tuple(sum(p[i] for p in points) / len(points) for i in range(len(points[0])))


def _fixation_precision(rows, eye, area, assumed):
    """(RMS-S2S, STD) in mm on the screen and in degrees (None when no eye
    position is known) of one eye over the rows of one fixation."""
    width, height = area[3], area[4]
    valid = [row for row in rows if _valid(row, eye)]
    pairs = [(a, b) for a, b in zip(rows, rows[1:]) if _valid(a, eye) and _valid(b, eye)]
    if not pairs or len(valid) < 2:
        return None

    def mm(row):
        return (row[eye + '_x'] * width, row[eye + '_y'] * height)

    def degrees_between(a, b, origin):
        return visual_angle(origin, _on_display(area, a[0], a[1]), _on_display(area, b[0], b[1]))

    steps_mm = [math.hypot(mm(a)[0] - mm(b)[0], mm(a)[1] - mm(b)[1]) for a, b in pairs]
    points = [mm(row) for row in valid]
    centre = _mean_point(points)
    std_mm = math.sqrt(sum((p[0] - centre[0]) ** 2 + (p[1] - centre[1]) ** 2 for p in points)
                       / (len(points) - 1))
    figures = {'rms_s2s_mm': _rms(steps_mm), 'std_mm': std_mm, 'samples': len(valid)}
    origins = [_origin(row, eye) for row in valid]
    if all(origins):
        origin_of = dict((id(row), o) for row, o in zip(valid, origins))
        eye_at = _mean_point(origins)
    elif assumed is not None:
        origin_of, eye_at = {}, assumed
    else:
        return figures
    steps = [degrees_between((a[eye + '_x'], a[eye + '_y']), (b[eye + '_x'], b[eye + '_y']),
                             _mean_point([origin_of.get(id(a), eye_at), origin_of.get(id(b), eye_at)]))
             for a, b in pairs]
    normalised = [(row[eye + '_x'], row[eye + '_y']) for row in valid]
    middle = _mean_point(normalised)
    spread = [degrees_between(middle, p, origin_of.get(id(row), eye_at))
              for row, p in zip(valid, normalised)]
    figures['rms_s2s_deg'] = _rms(steps)
    figures['std_deg'] = math.sqrt(sum(d * d for d in spread) / (len(spread) - 1))
    return figures


def _precision(saved, rows, area, viewing_distance_mm):
    report = {'divisor': 'n - 1', 'aggregate': 'median over fixations', 'fixations': 0}
    if area is None:
        report['note'] = 'no display area in the metadata: no fixations, no precision'
        return report
    if not all(eye + axis in saved.columns for eye in EYES for axis in ('_x', '_y')):
        report['note'] = 'no gaze point columns: no fixations, no precision'
        return report
    has_origins = any(c.endswith('_origin_x_mm') for c in saved.columns)
    assumed, how = _assumed_eye(saved, area, viewing_distance_mm)
    report['eye_position'] = 'recorded gaze origin of each sample' if has_origins else how
    track = gaze_track(rows, area[3], area[4])
    fixations = detect_fixations(track)
    report['fixations'] = len(fixations)
    # Row of each track point: gaze_track keeps the rows with a gaze point of either eye.
    at = [index for index, row in enumerate(rows) if not _lost(row)]
    starts = [t for t, _, _ in track]
    per_eye = dict((eye, []) for eye in EYES)
    for fixation in fixations:
        first = bisect.bisect_left(starts, fixation.start)
        last = bisect.bisect_right(starts, fixation.end) - 1
        window = rows[at[first]:at[last] + 1]
        for eye in EYES:
            figures = _fixation_precision(window, eye, area, assumed)
            if figures is not None:
                per_eye[eye].append(figures)
    for eye in EYES:
        found = per_eye[eye]
        summary = {'fixations': len(found), 'samples': sum(f['samples'] for f in found)}
        for key in ('rms_s2s_mm', 'std_mm', 'rms_s2s_deg', 'std_deg'):
            values = [f[key] for f in found if key in f]
            summary[key] = _median(values) if values else None
        report[eye] = summary
    return report


def _time_order(times):
    backwards = [i for i in range(1, len(times)) if times[i] < times[i - 1]]
    repeated = [i for i in range(1, len(times)) if times[i] == times[i - 1]]
    # Line numbers in gaze.csv (the header is line 1) of the first few.
    return {'backwards': len(backwards), 'repeated': len(repeated),
            'first_backwards_lines': [i + 2 for i in backwards[:5]],
            'first_repeated_lines': [i + 2 for i in repeated[:5]]}


def recording_quality(recording, viewing_distance_mm=None):
    """The data quality of a recording (a folder, or a SavedRecording) as a
    plain dict (json.dumps gives its JSON; format_report a table). Precision
    is in degrees from the recorded gaze origins when the rows hold them,
    else seen from `viewing_distance_mm` in front of the display centre when
    given, else from the track box centre."""
    recording = recording if hasattr(recording, 'gaze') else path_text(recording, 'the recording')
    folder = recording if isinstance(recording, string_types) else getattr(recording, 'folder', None)
    saved, problems = read_recording(recording)
    all_rows = saved.gaze
    rows = [row for row in all_rows if _finite(row.get('time_us'))]
    times = [row['time_us'] for row in rows]
    nominal = nominal_rate(saved)
    span = (times[-1] - times[0]) / 1e6 if len(times) >= 2 else 0.0
    effective = (len(times) - 1) / span if span > 0 else None
    end_us = (saved.end or {}).get('t_us')
    gaps, gap_source = find_gaps(saved, nominal)
    missing = sum(g.missing_samples or 0 for g in gaps)
    durations = [g.duration_us for g in gaps if _finite(g.duration_us)]
    loss = {}
    for eye in EYES:
        invalid = sum(1 for row in all_rows if not _valid(row, eye))
        loss[eye] = {'invalid_samples': invalid,
                     'invalid_share': invalid / len(all_rows) if all_rows else None,
                     'loss_share': ((invalid + missing) / (len(all_rows) + missing)
                                    if all_rows or missing else None)}
    both = sum(1 for row in all_rows if _lost(row))
    loss['both_eyes_invalid_share'] = both / len(all_rows) if all_rows else None
    loss['missing_samples'] = missing
    state = 'damaged' if saved.truncated or isinstance(saved, SalvagedRecording) else (
        'incomplete' if problems else 'complete')
    clock = saved.clock
    report = {
        'folder': to_unicode(folder) if folder else None,
        'state': state,
        'problems': problems,
        'columns': saved.metadata.get('column_set'),
        'duration_s': end_us / 1e6 if _finite(end_us) else None,
        'gaze_span_s': span,
        'samples': len(all_rows),
        'nominal_rate_hz': nominal,
        'effective_rate_hz': effective,
        'rate_ratio': effective / nominal if effective and nominal else None,
        'data_loss': loss,
        'gaps': {'source': gap_source, 'count': len(gaps), 'missing_samples': missing,
                 'longest_us': max(durations) if durations else None,
                 'total_us': sum(durations),
                 'in_blinks': sum(1 for g in gaps if _gap_in_blink(rows, g))},
        'precision': _precision(saved, rows, _display_area(saved), viewing_distance_mm),
        'time_stamps': _time_order(times),
        'clock': dict(clock.to_dict(), source='metadata' if saved.metadata.get('clock')
                      else 'time synchronisation events') if clock is not None else None,
        'markers': sum(1 for e in saved.events if e.get('stream') == 'marker'),
    }
    return _plain(report)


def _plain(value):
    """The report with None for every number that is not finite (strict JSON)."""
    if isinstance(value, dict):
        return dict((k, _plain(v)) for k, v in value.items())
    if isinstance(value, list):
        return [_plain(v) for v in value]
    if isinstance(value, float) and not _finite(value):
        return None
    return value


# -------------------------------------------------------------------- table

def _share(value):
    return '-' if value is None else '%.1f %%' % (100 * value)


def _fig(value, unit, digits=3):
    return '-' if value is None else '%.*f %s' % (digits, value, unit)


def format_report(report):
    """A report of recording_quality as a readable table (text)."""
    lines = []

    def add(label, text):
        lines.append('%-12s %s' % (label, text))
    add('recording', report['folder'] or '-')
    add('state', report['state'])
    for problem in report['problems']:
        add('', '! ' + problem)
    add('duration', '%s (gaze samples span %.3f s)' % (_fig(report['duration_s'], 's'),
                                                       report['gaze_span_s']))
    ratio = report['rate_ratio']
    add('samples', '%d; effective rate %s, nominal %s%s' % (
        report['samples'], _fig(report['effective_rate_hz'], 'Hz', 2),
        _fig(report['nominal_rate_hz'], 'Hz', 1),
        '' if ratio is None else ' (%.1f %%)' % (100 * ratio)))
    loss = report['data_loss']
    for eye in EYES:
        add('data loss' if eye == 'left' else '', '%-5s %s of the samples invalid, %s with the '
            'missing samples' % (eye, _share(loss[eye]['invalid_share']),
                                 _share(loss[eye]['loss_share'])))
    gaps = report['gaps']
    add('gaps', '%d (from %s), %d samples missing, longest %s, %d within blinks'
        % (gaps['count'], gaps['source'], gaps['missing_samples'],
           '-' if gaps['longest_us'] is None else '%.1f ms' % (gaps['longest_us'] / 1000.0),
           gaps['in_blinks']))
    precision = report['precision']
    add('precision', 'in %d fixations, median over fixations; STD divisor n - 1'
        % precision['fixations'])
    if 'eye_position' in precision:
        add('', 'eye position: %s' % precision['eye_position'])
    if 'note' in precision:
        add('', precision['note'])
    for eye in EYES:
        if eye in precision:
            p = precision[eye]
            add('', '%-5s RMS-S2S %s (%s), STD %s (%s), %d samples in %d fixations'
                % (eye, _fig(p['rms_s2s_deg'], 'deg'), _fig(p['rms_s2s_mm'], 'mm'),
                   _fig(p['std_deg'], 'deg'), _fig(p['std_mm'], 'mm'), p['samples'], p['fixations']))
    stamps = report['time_stamps']
    add('time stamps', '%d going backwards%s, %d repeated%s' % (
        stamps['backwards'], ' (lines %s)' % ', '.join(str(n) for n in stamps['first_backwards_lines'])
        if stamps['backwards'] else '', stamps['repeated'],
        ' (lines %s)' % ', '.join(str(n) for n in stamps['first_repeated_lines'])
        if stamps['repeated'] else ''))
    clock = report['clock']
    if clock is None:
        add('clock', '- (no clock relation in the metadata or the events)')
    else:
        add('clock', 'device = system %+.1f +- %.1f us, drift %+.2f ppm (%d records, from the %s)'
            % (clock['offset_us'], clock['offset_uncertainty_us'], clock['drift_ppm'],
               clock['samples'], clock['source']))
    add('markers', '%d' % report['markers'])
    return '\n'.join(lines) + '\n'


reader.ANALYSES['quality'] = recording_quality
