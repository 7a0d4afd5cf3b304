"""Gaze analysis on recorded rows: averaging the eyes, rates, fixation
detection and a scanpath picture in SVG.

Works on the rows of a saved recording (velto.load_recording(folder).gaze)
and on the module's gaze dicts alike. Coordinates: a gaze point on the
display area is normalised, (0, 0) at the top-left corner and (1, 1) at the
bottom-right one; multiplied by the display area's width and height it
becomes millimetres from the top-left corner, which is what fixation
detection works in, so that its dispersion threshold means the same
horizontally and vertically.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import io
import math
from xml.sax.saxutils import escape

from ._compat import to_unicode

EYES = ('left', 'right')


def _finite(value):
    return not (math.isnan(value) or math.isinf(value))


def _eye_point(row, eye):
    """(x, y) of one eye, or None: from a recorded row (left_x, ...) or from
    a module gaze dict (validity 1 and finite numbers)."""
    if eye + '_x' in row:
        x, y = row[eye + '_x'], row[eye + '_y']
    else:
        if row[eye + '_gaze_point_validity'] != 1:
            return None
        x, y = row[eye + '_gaze_point_on_display_area']
    return (x, y) if _finite(x) and _finite(y) else None


def _time_us(row):
    return row['time_us'] if 'time_us' in row else row['system_time_stamp']


def average_point(row):
    """The mean of the valid eyes' gaze points (x, y), normalised, or None
    when neither eye has one."""
    points = [p for p in (_eye_point(row, eye) for eye in EYES) if p is not None]
    if not points:
        return None
    return (sum(p[0] for p in points) / len(points), sum(p[1] for p in points) / len(points))


def valid_share(rows, eye):
    """Share (0..1) of rows in which `eye` ('left' or 'right') has a gaze point."""
    if not rows:
        return 0.0
    return sum(1 for row in rows if _eye_point(row, eye) is not None) / len(rows)


def effective_rate(rows):
    """Samples per second over the rows' time stamps (0.0 for fewer than two)."""
    if len(rows) < 2:
        return 0.0
    span = (_time_us(rows[-1]) - _time_us(rows[0])) / 1e6
    return (len(rows) - 1) / span if span > 0 else 0.0


def gaze_track(rows, width, height):
    """[(t, x, y)] for every row with at least one valid eye: t in seconds
    since the first row, x and y in mm from the display area's top-left corner."""
    if not rows:
        return []
    start = _time_us(rows[0])
    track = []
    for row in rows:
        point = average_point(row)
        if point is not None:
            track.append(((_time_us(row) - start) / 1e6, point[0] * width, point[1] * height))
    return track


class Fixation(collections.namedtuple('Fixation', 'start end x y samples')):
    """start, end: seconds; x, y: centroid in mm; samples: point count."""
    __slots__ = ()

    @property
    def duration(self):
        return self.end - self.start


def detect_fixations(track, max_dispersion=30.0, min_duration=0.1, max_gap=0.25):
    """Dispersion-threshold fixation detection (I-DT) on a gaze track.

    A fixation is a run of consecutive points lasting at least `min_duration`
    seconds whose dispersion (x extent + y extent, mm) stays within
    `max_dispersion`. A run may span a pause between points (a blink, a
    moment of lost tracking) of at most `max_gap` seconds; the default covers
    a blink, so that looking at one place before and after it is one
    fixation. Returns Fixations in time order.
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


# -------------------------------------------------------------------- SVG

def _fmt(value):
    return ('%.2f' % value).rstrip('0').rstrip('.')


def _tick_step(size):
    """A round tick distance giving four to ten ticks over `size` mm."""
    for step in (10, 20, 25, 50, 100, 200, 250, 500, 1000):
        if size / step <= 10:
            return step
    return 1000 * int(math.ceil(size / 10000.0))


# Most polyline points drawn for the raw gaze, so that an hour of data still
# gives a picture of reasonable size.
MAX_TRACE_POINTS = 6000


def _radius(fixation, width):
    return width * 0.03 * math.sqrt(max(fixation.duration, 0.0) / 0.25) + width * 0.004


def scanpath_svg(track, fixations, width, height, title='', notes=(), max_gap=0.25):
    """An SVG document (text) of a scanpath over the display area.

    The display area is a width x height mm rectangle with mm axes along its
    top and left edges; each fixation an orange circle whose area grows with
    its duration, labelled with its number and duration; saccades dashed red
    lines between consecutive fixations; the raw gaze on top, a blue dot per
    sample joined by a line (broken at pauses longer than max_gap, thinned
    to at most MAX_TRACE_POINTS points). `title` and the lines of `notes` go
    above.
    """
    font = 0.022 * width
    margin = 0.04 * width
    axis = font * 3.2            # room for the axis labels
    header = font * (2.2 + 1.4 * len(notes))
    footer = font * 5.5
    left, top = margin + axis, margin + header + axis
    view_width = left + width + margin
    view_height = top + height + footer + margin * 0.5
    trace_width = width * 0.002
    saccade_width = width * 0.0025
    dot = width * 0.0022
    dash = '%s,%s' % (_fmt(width * 0.008), _fmt(width * 0.005))

    def px(x):
        return _fmt(left + x)

    def py(y):
        return _fmt(top + y)

    out = ['<?xml version="1.0" encoding="UTF-8"?>',
           '<svg xmlns="http://www.w3.org/2000/svg" version="1.1" width="%d" height="%d" '
           'viewBox="0 0 %s %s" font-family="sans-serif">'
           % (960, round(960 * view_height / view_width), _fmt(view_width), _fmt(view_height)),
           '<title>%s</title>' % escape(title or 'scanpath'),
           '<rect x="0" y="0" width="%s" height="%s" fill="white"/>'
           % (_fmt(view_width), _fmt(view_height))]
    y = margin + font
    out.append('<text x="%s" y="%s" font-size="%s" font-weight="bold">%s</text>'
               % (_fmt(margin), _fmt(y), _fmt(font * 1.2), escape(title)))
    for note in notes:
        y += font * 1.4
        out.append('<text x="%s" y="%s" font-size="%s" fill="#444">%s</text>'
                   % (_fmt(margin), _fmt(y), _fmt(font), escape(note)))
    out.append('<rect class="display-area" x="%s" y="%s" width="%s" height="%s" fill="#f4f6f8" '
               'stroke="#222" stroke-width="%s"/>' % (px(0), py(0), _fmt(width), _fmt(height),
                                                       _fmt(width * 0.003)))
    # Axes: millimetres from the top-left corner, ticks along the top and left edges.
    step = _tick_step(max(width, height))
    tick = font * 0.5
    out.append('<g class="axes" font-size="%s" fill="#444" stroke="#888" stroke-width="%s">'
               % (_fmt(font * 0.8), _fmt(width * 0.0015)))
    value = 0
    while value <= width + 1e-6:
        out.append('<line x1="%s" y1="%s" x2="%s" y2="%s"/>' % (px(value), py(-tick), px(value), py(0)))
        out.append('<text class="tick-x" x="%s" y="%s" text-anchor="middle" stroke="none">%d</text>'
                   % (px(value), py(-tick * 1.6), value))
        value += step
    value = 0
    while value <= height + 1e-6:
        out.append('<line x1="%s" y1="%s" x2="%s" y2="%s"/>' % (px(-tick), py(value), px(0), py(value)))
        out.append('<text class="tick-y" x="%s" y="%s" text-anchor="end" stroke="none">%d</text>'
                   % (px(-tick * 1.4), py(value + font * 0.3), value))
        value += step
    out.append('<text x="%s" y="%s" text-anchor="middle" stroke="none">x (mm from the left edge)</text>'
               % (px(width / 2), py(-tick * 1.6 - font * 1.3)))
    out.append('<text x="%s" y="%s" text-anchor="middle" stroke="none" transform="rotate(-90 %s %s)">'
               'y (mm from the top edge)</text>' % (px(-axis), py(height / 2), px(-axis), py(height / 2)))
    out.append('</g>')
    # Legend below the display area; entries spaced by their text's length,
    # wrapped onto a second row when they would run past the right edge.
    legend_font = font * 0.9
    key, row = 0.0, 0
    out.append('<g class="legend" font-size="%s" fill="#444">' % _fmt(legend_font))
    for kind, text in (('gaze', 'raw gaze samples (mean of the eyes)'),
                       ('fixation', 'fixation number: duration (circle area ~ duration)'),
                       ('saccade', 'saccade')):
        extent = font * 2.1 + legend_font * 0.55 * len(text)
        if key > 0 and key + extent > width:
            key, row = 0.0, row + 1
        base = height + font * (1.8 + 1.5 * row)
        mark_y = py(base - font * 0.3)
        if kind == 'gaze':
            out.append('<line x1="%s" y1="%s" x2="%s" y2="%s" stroke="#1f5fbf" stroke-width="%s"/>'
                       % (px(key), mark_y, px(key + font * 1.6), mark_y, _fmt(trace_width)))
            out.append('<circle cx="%s" cy="%s" r="%s" fill="#1f5fbf"/>'
                       % (px(key + font * 0.8), mark_y, _fmt(dot)))
        elif kind == 'fixation':
            out.append('<circle cx="%s" cy="%s" r="%s" fill="#f39c12" fill-opacity="0.45" '
                       'stroke="#a04000" stroke-width="%s"/>'
                       % (px(key + font * 0.8), mark_y, _fmt(font * 0.5), _fmt(width * 0.002)))
        else:
            out.append('<line x1="%s" y1="%s" x2="%s" y2="%s" stroke="#c0392b" stroke-width="%s" '
                       'stroke-dasharray="%s"/>' % (px(key), mark_y, px(key + font * 1.6), mark_y,
                                                    _fmt(saccade_width), dash))
        out.append('<text x="%s" y="%s">%s</text>' % (px(key + font * 2.1), py(base), escape(text)))
        key += extent + font * 1.5
    out.append('<text x="%s" y="%s" text-anchor="end">display area %s x %s mm</text>'
               % (px(width), py(height + font * (1.8 + 1.5 * (row + 1))), _fmt(width), _fmt(height)))
    out.append('</g>')
    # Fixations under everything else: circle area grows with the duration.
    for number, fixation in enumerate(fixations, 1):
        out.append('<circle class="fixation" cx="%s" cy="%s" r="%s" fill="#f39c12" '
                   'fill-opacity="0.45" stroke="#a04000" stroke-width="%s"><title>%s</title></circle>'
                   % (px(fixation.x), py(fixation.y), _fmt(_radius(fixation, width)),
                      _fmt(width * 0.002),
                      escape('fixation %d: %.0f ms at (%.0f, %.0f) mm'
                             % (number, fixation.duration * 1000, fixation.x, fixation.y))))
    # Saccades between consecutive fixations, dashed so the raw gaze shows through.
    for a, b in zip(fixations, fixations[1:]):
        out.append('<line class="saccade" x1="%s" y1="%s" x2="%s" y2="%s" stroke="#c0392b" '
                   'stroke-width="%s" stroke-opacity="0.8" stroke-dasharray="%s"/>'
                   % (px(a.x), py(a.y), px(b.x), py(b.y), _fmt(saccade_width), dash))
    # Raw gaze on top: a line per stretch without pauses and a dot per sample
    # drawn (thinned to at most MAX_TRACE_POINTS).
    every = max(1, int(math.ceil(len(track) / float(MAX_TRACE_POINTS))))
    stretches = []
    last = None
    for index, (t, x, y) in enumerate(track):
        if last is None or t - last > max_gap:
            stretches.append([])
        last = t
        if index % every == 0 or index == len(track) - 1:
            stretches[-1].append((x, y))
    for stretch in stretches:
        if len(stretch) >= 2:
            out.append('<polyline class="gaze" points="%s" fill="none" stroke="#1f5fbf" '
                       'stroke-opacity="0.7" stroke-width="%s" stroke-linejoin="round"/>'
                       % (' '.join('%s,%s' % (px(x), py(y)) for x, y in stretch),
                          _fmt(trace_width)))
    out.append('<g class="samples" fill="#1f5fbf" fill-opacity="0.8">')
    for stretch in stretches:
        for x, y in stretch:
            out.append('<circle cx="%s" cy="%s" r="%s"/>' % (px(x), py(y), _fmt(dot)))
    out.append('</g>')
    # Labels last, so nothing covers them, each at the first corner of its
    # circle where it overlaps no earlier label and stays inside the area.
    label_font = font * 0.85
    placed = []
    for number, fixation in enumerate(fixations, 1):
        text = '%d: %.0f ms' % (number, fixation.duration * 1000)
        box_width, box_height = label_font * 0.58 * len(text), label_font
        offset = _radius(fixation, width) * 0.75
        choices = [(fixation.x + sx * offset - (box_width if sx < 0 else 0),
                    fixation.y + sy * offset + (box_height if sy > 0 else 0))
                   for sx, sy in ((1, -1), (1, 1), (-1, -1), (-1, 1))]

        def fits(choice):
            x, y = choice
            inside = 0 <= x and x + box_width <= width and box_height <= y <= height
            return inside and all(x + box_width < a or a + w < x or y < b - h or b < y - box_height
                                  for a, b, w, h in placed)
        x, y = next((c for c in choices if fits(c)), choices[0])
        placed.append((x, y, box_width, box_height))
        out.append('<text class="fixation-label" x="%s" y="%s" font-size="%s" fill="#222" '
                   'stroke="white" stroke-width="%s" paint-order="stroke">%s</text>'
                   % (px(x), py(y), _fmt(label_font), _fmt(font * 0.15), escape(text)))
    out.append('</svg>')
    return '\n'.join(out) + '\n'


def write_svg(path, *args, **kwargs):
    """scanpath_svg(...) written to `path`."""
    with io.open(path, 'wb') as stream:
        stream.write(to_unicode(scanpath_svg(*args, **kwargs)).encode('utf-8'))
