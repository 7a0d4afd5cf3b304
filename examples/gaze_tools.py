"""Working with recorded gaze data dicts: CSV rows, eye averaging, fixation
detection and a scanpath picture in SVG.

Pure Python 2.7 standard library; nothing here talks to the module, so it
works the same on live data and on a list of dicts read back from anywhere.

Coordinates: a gaze point on the display area is normalised, (0, 0) at the
top-left corner of the display area and (1, 1) at the bottom-right corner.
Multiplying by the display area's width and height (millimetres, from the
operation get_display_area) gives millimetres from the top-left corner,
which is what the fixation detection works in, so that its dispersion
threshold means the same horizontally and vertically.
"""
from __future__ import division

import collections
import csv
import math
import sys
from xml.sax.saxutils import escape

# The 18 keys of a gaze data dict, in the order the module builds them, with
# the number of coordinates of each tuple entry (0: a single number).
GAZE_FIELDS = (
    ('device_time_stamp', 0),
    ('system_time_stamp', 0),
    ('left_gaze_point_on_display_area', 2),
    ('left_gaze_point_in_user_coordinate_system', 3),
    ('left_gaze_point_validity', 0),
    ('left_pupil_diameter', 0),
    ('left_pupil_validity', 0),
    ('left_gaze_origin_in_user_coordinate_system', 3),
    ('left_gaze_origin_in_trackbox_coordinate_system', 3),
    ('left_gaze_origin_validity', 0),
    ('right_gaze_point_on_display_area', 2),
    ('right_gaze_point_in_user_coordinate_system', 3),
    ('right_gaze_point_validity', 0),
    ('right_pupil_diameter', 0),
    ('right_pupil_validity', 0),
    ('right_gaze_origin_in_user_coordinate_system', 3),
    ('right_gaze_origin_in_trackbox_coordinate_system', 3),
    ('right_gaze_origin_validity', 0),
)

_AXES = ('x', 'y', 'z')

# Time stamps of the device library are in microseconds.
MICROSECONDS = 1e6


# ---------------------------------------------------------------- CSV

def csv_header():
    """Column names: tuple entries flattened with _x, _y (and _z) suffixes."""
    columns = []
    for key, size in GAZE_FIELDS:
        if size:
            columns.extend('%s_%s' % (key, axis) for axis in _AXES[:size])
        else:
            columns.append(key)
    return columns


def csv_row(sample):
    """One gaze dict as a flat list in csv_header() order. Missing values are
    NaN in the dict and are written as "nan" by the csv module."""
    row = []
    for key, size in GAZE_FIELDS:
        value = sample[key]
        if size:
            row.extend(value)
        else:
            row.append(value)
    return row


def write_csv(path, samples):
    """Writes the samples as CSV with a header line; returns the row count."""
    # The csv module writes bytes on 2.7 and text on 3.x.
    stream = open(path, 'wb') if sys.version_info[0] == 2 else open(path, 'w', newline='')
    with stream:
        writer = csv.writer(stream, lineterminator='\n')
        writer.writerow(csv_header())
        for sample in samples:
            writer.writerow(csv_row(sample))
    return len(samples)


# ---------------------------------------------------------------- statistics

def _is_number(value):
    return not (math.isnan(value) or math.isinf(value))


def valid_share(samples, eye):
    """Share (0..1) of samples whose gaze point of `eye` ('left' or 'right') is valid."""
    if not samples:
        return 0.0
    key = eye + '_gaze_point_validity'
    return sum(1 for s in samples if s[key] == 1) / len(samples)


def effective_rate(samples):
    """Samples per second over the system time stamps, or 0.0 for fewer than two."""
    if len(samples) < 2:
        return 0.0
    span = (samples[-1]['system_time_stamp'] - samples[0]['system_time_stamp']) / MICROSECONDS
    return (len(samples) - 1) / span if span > 0 else 0.0


def average_point(sample):
    """The mean of the valid eyes' gaze points on the display area, (x, y)
    normalised, or None when neither eye has a valid gaze point."""
    points = []
    for eye in ('left', 'right'):
        if sample[eye + '_gaze_point_validity'] == 1:
            x, y = sample[eye + '_gaze_point_on_display_area']
            if _is_number(x) and _is_number(y):
                points.append((x, y))
    if not points:
        return None
    return (sum(p[0] for p in points) / len(points), sum(p[1] for p in points) / len(points))


def gaze_track(samples, width, height):
    """[(t, x, y)] for every sample with at least one valid eye: t in seconds
    since the first sample, x and y in millimetres from the display area's
    top-left corner."""
    if not samples:
        return []
    start = samples[0]['system_time_stamp']
    track = []
    for sample in samples:
        point = average_point(sample)
        if point is not None:
            t = (sample['system_time_stamp'] - start) / MICROSECONDS
            track.append((t, point[0] * width, point[1] * height))
    return track


# ---------------------------------------------------------------- fixations

class Fixation(collections.namedtuple('Fixation', 'start end x y samples')):
    """start, end: seconds; x, y: centroid in millimetres; samples: point count."""
    __slots__ = ()

    @property
    def duration(self):
        return self.end - self.start


def detect_fixations(track, max_dispersion=30.0, min_duration=0.1, max_gap=0.25):
    """Dispersion-threshold fixation detection (I-DT) on a gaze track.

    A fixation is a run of consecutive points lasting at least `min_duration`
    seconds whose dispersion (x extent + y extent, millimetres) stays within
    `max_dispersion`. A run may span a pause between points (a blink, a
    moment of lost tracking) of at most `max_gap` seconds; the default covers
    a blink, so that looking at the same place before and after one is one
    fixation. Returns Fixations in time
    order: start and end in seconds, the centroid x, y in millimetres, and the
    number of points.
    """
    fixations = []
    n = len(track)
    i = 0
    while i < n:
        # The smallest window starting at i that lasts min_duration.
        j = i
        while (j + 1 < n and track[j][0] - track[i][0] < min_duration
               and track[j + 1][0] - track[j][0] <= max_gap):
            j += 1
        if track[j][0] - track[i][0] < min_duration:
            # Cut short by a pause or the end of the data: no window starting
            # anywhere in i..j can last long enough.
            i = j + 1
            continue
        xs = [p[1] for p in track[i:j + 1]]
        ys = [p[2] for p in track[i:j + 1]]
        low_x, high_x, low_y, high_y = min(xs), max(xs), min(ys), max(ys)
        if (high_x - low_x) + (high_y - low_y) > max_dispersion:
            i += 1
            continue
        # Grow the window while the dispersion stays within the threshold.
        while j + 1 < n and track[j + 1][0] - track[j][0] <= max_gap:
            _, x, y = track[j + 1]
            wider = (max(high_x, x) - min(low_x, x)) + (max(high_y, y) - min(low_y, y))
            if wider > max_dispersion:
                break
            low_x, high_x = min(low_x, x), max(high_x, x)
            low_y, high_y = min(low_y, y), max(high_y, y)
            j += 1
        points = track[i:j + 1]
        fixations.append(Fixation(start=track[i][0], end=track[j][0],
                                  x=sum(p[1] for p in points) / len(points),
                                  y=sum(p[2] for p in points) / len(points),
                                  samples=len(points)))
        i = j + 1
    return fixations


# ---------------------------------------------------------------- SVG

def _fmt(value):
    return ('%.2f' % value).rstrip('0').rstrip('.')


def scanpath_svg(track, fixations, width, height, title='', notes=(), max_gap=0.25):
    """An SVG document (a str) of the scanpath over the display area.

    The display area is drawn as a width x height millimetre rectangle; the
    raw gaze track as a thin line (broken at pauses longer than max_gap),
    fixations as numbered circles whose area grows with their duration, and
    saccades as lines between consecutive fixations. `title` and the lines of
    `notes` are written above the picture.
    """
    margin = 0.06 * width
    font = 0.022 * width
    header = font * (2.2 + 1.4 * len(notes))
    footer = font * 3.0
    left, top = margin, margin + header
    view_width = width + 2 * margin
    view_height = top + height + footer + margin * 0.5
    trace_width = width * 0.0025
    saccade_width = width * 0.003

    def px(x):
        return _fmt(left + x)

    def py(y):
        return _fmt(top + y)

    out = []
    out.append('<?xml version="1.0" encoding="UTF-8"?>')
    out.append('<svg xmlns="http://www.w3.org/2000/svg" version="1.1" '
               'width="%d" height="%d" viewBox="0 0 %s %s" font-family="sans-serif">'
               % (960, round(960 * view_height / view_width), _fmt(view_width),
                  _fmt(view_height)))
    out.append('<title>%s</title>' % escape(title or 'scanpath'))
    out.append('<rect x="0" y="0" width="%s" height="%s" fill="white"/>'
               % (_fmt(view_width), _fmt(view_height)))
    # Heading.
    y = margin + font
    out.append('<text x="%s" y="%s" font-size="%s" font-weight="bold">%s</text>'
               % (_fmt(margin), _fmt(y), _fmt(font * 1.2), escape(title)))
    for note in notes:
        y += font * 1.4
        out.append('<text x="%s" y="%s" font-size="%s" fill="#444">%s</text>'
                   % (_fmt(margin), _fmt(y), _fmt(font), escape(note)))
    # The display area, its size, and a legend below it.
    out.append('<rect class="display-area" x="%s" y="%s" width="%s" height="%s" '
               'fill="#f4f6f8" stroke="#222" '
               'stroke-width="%s"/>' % (px(0), py(0), _fmt(width), _fmt(height),
                                         _fmt(width * 0.003)))
    base = height + font * 1.6
    out.append('<text x="%s" y="%s" font-size="%s" fill="#666" text-anchor="end">'
               'display area %s x %s mm</text>'
               % (px(width), py(base), _fmt(font * 0.9), _fmt(width), _fmt(height)))
    key = 0.0
    out.append('<g class="legend">')
    out.append('<circle cx="%s" cy="%s" r="%s" fill="#f39c12" fill-opacity="0.55" '
               'stroke="#a04000" stroke-width="%s"/>' % (px(key + font * 0.5), py(base - font * 0.3),
                                                         _fmt(font * 0.5), _fmt(width * 0.002)))
    out.append('<text x="%s" y="%s" font-size="%s" fill="#444">fixation (area ~ duration)</text>'
               % (px(key + font * 1.4), py(base), _fmt(font * 0.9)))
    key += font * 15.5
    out.append('<line x1="%s" y1="%s" x2="%s" y2="%s" stroke="#c0392b" stroke-width="%s"/>'
               % (px(key), py(base - font * 0.3), px(key + font * 1.6), py(base - font * 0.3),
                  _fmt(saccade_width)))
    out.append('<text x="%s" y="%s" font-size="%s" fill="#444">saccade</text>'
               % (px(key + font * 2.1), py(base), _fmt(font * 0.9)))
    key += font * 7.5
    out.append('<line x1="%s" y1="%s" x2="%s" y2="%s" stroke="#3b7dd8" stroke-width="%s"/>'
               % (px(key), py(base - font * 0.3), px(key + font * 1.6), py(base - font * 0.3),
                  _fmt(trace_width)))
    out.append('<text x="%s" y="%s" font-size="%s" fill="#444">raw gaze</text>'
               % (px(key + font * 2.1), py(base), _fmt(font * 0.9)))
    out.append('</g>')
    # Raw gaze, one polyline per stretch without pauses.
    stretches = []
    for t, x, y in track:
        if not stretches or t - stretches[-1][-1][0] > max_gap:
            stretches.append([])
        stretches[-1].append((t, x, y))
    for stretch in stretches:
        if len(stretch) < 2:
            continue
        points = ' '.join('%s,%s' % (px(x), py(y)) for _, x, y in stretch)
        out.append('<polyline class="gaze" points="%s" fill="none" stroke="#3b7dd8" stroke-opacity="0.6" '
                   'stroke-width="%s" stroke-linejoin="round"/>' % (points, _fmt(trace_width)))
    # Saccades between consecutive fixations.
    for a, b in zip(fixations, fixations[1:]):
        out.append('<line class="saccade" x1="%s" y1="%s" x2="%s" y2="%s" stroke="#c0392b" '
                   'stroke-width="%s" stroke-opacity="0.85"/>' % (px(a.x), py(a.y), px(b.x), py(b.y),
                                                _fmt(saccade_width)))
    # Fixations: circle area proportional to duration, numbered in order.
    for number, fixation in enumerate(fixations, 1):
        radius = width * 0.03 * math.sqrt(max(fixation.duration, 0.0) / 0.25) + width * 0.004
        out.append('<circle class="fixation" cx="%s" cy="%s" r="%s" fill="#f39c12" '
                   'fill-opacity="0.55" stroke="#a04000" stroke-width="%s"><title>%s</title></circle>'
                   % (px(fixation.x), py(fixation.y), _fmt(radius), _fmt(width * 0.002),
                      escape('fixation %d: %.0f ms at (%.0f, %.0f) mm'
                             % (number, fixation.duration * 1000, fixation.x, fixation.y))))
        out.append('<text x="%s" y="%s" font-size="%s" text-anchor="middle" fill="#222">%d</text>'
                   % (px(fixation.x), py(fixation.y + font * 0.35), _fmt(font * 0.9), number))
    out.append('</svg>')
    return '\n'.join(out) + '\n'


def utf8(text):
    """`text` as UTF-8 bytes (a 2.7 str already is)."""
    return text if isinstance(text, bytes) else text.encode('utf-8')


def write_svg(path, *args, **kwargs):
    with open(path, 'wb') as stream:
        stream.write(utf8(scanpath_svg(*args, **kwargs)))

