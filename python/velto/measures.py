"""Accuracy and precision of gaze samples around a target, in degrees of
visual angle seen from the eye's gaze origin: one record (EyeQuality), one
function per target and eye, one for the overall figures and one table, the
same for the calibration and the validation reports. Formulas and their
sources: docs/python-api.md, "Validation"."""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import math

from .geometry import visual_angle

EYES = ('left', 'right')
# Share of samples the bivariate contour ellipse area (BCEA) holds.
BCEA_P = 0.68

_FIELDS = ('accuracy_deg', 'precision_rms_deg', 'precision_sd_deg', 'valid_samples', 'samples',
           'accuracy_centroid_deg', 'bcea_deg2', 'data_loss')


class EyeQuality(collections.namedtuple('EyeQuality', _FIELDS)):
    """Gaze quality of one eye at one target, or overall. Figures are None
    where there is not enough valid data (precision needs two samples);
    data_loss is the share (0..1) of samples without a valid gaze point."""
    __slots__ = ()

    def __new__(cls, accuracy_deg, precision_rms_deg, precision_sd_deg, valid_samples, samples,
                accuracy_centroid_deg=None, bcea_deg2=None, data_loss=None):
        return super(EyeQuality, cls).__new__(
            cls, accuracy_deg, precision_rms_deg, precision_sd_deg, valid_samples, samples,
            accuracy_centroid_deg, bcea_deg2, data_loss)


class PointQuality(collections.namedtuple('PointQuality', 'target left right')):
    """target: (x, y) normalised; left, right: EyeQuality at that target."""
    __slots__ = ()


DEFINITIONS = {
    'accuracy_deg': 'mean angular offset of the valid samples from the target',
    'accuracy_centroid_deg': 'angular offset of the valid samples\' centroid from the target',
    'precision_rms_deg': 'RMS of the angular distances between successive valid samples',
    'precision_sd_deg': 'sqrt(sum d^2 / (n - 1)) of the angular distances d of the valid '
                        'samples from their centroid',
    'bcea_deg2': 'bivariate contour ellipse area holding P = %.2f of the samples: '
                 '2 k pi sx sy sqrt(1 - rho^2), k = -ln(1 - P), sx, sy the SDs (n - 1) of the '
                 'horizontal and vertical angular positions, rho their correlation' % BCEA_P,
    'data_loss': 'share of samples without a valid gaze point',
    'units': 'degrees of visual angle from the eye\'s gaze origin (BCEA: square degrees)',
}


def _unit(v):
    length = math.sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2])
    return (v[0] / length, v[1] / length, v[2] / length) if length > 0 else None


def _dot(a, b):
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]


def _mean_point(points):
    n = len(points)
    return tuple(sum(p[i] for p in points) / n for i in range(3))


def bcea(points, origin, across=(1.0, 0.0, 0.0), p=BCEA_P):
    """The BCEA (square degrees) of points (x, y, z) mm seen from `origin`:
    their horizontal and vertical angles (about the centroid's direction,
    horizontal along `across`, the display's left-to-right edge); None for
    fewer than three points (two span no area)."""
    if len(points) < 3:
        return None
    forward = _unit(tuple(c - o for c, o in zip(_mean_point(points), origin)))
    if forward is None:
        return None
    along = _dot(across, forward)
    horizontal = _unit(tuple(a - along * f for a, f in zip(across, forward)))
    if horizontal is None:
        return None
    vertical = (forward[1] * horizontal[2] - forward[2] * horizontal[1],
                forward[2] * horizontal[0] - forward[0] * horizontal[2],
                forward[0] * horizontal[1] - forward[1] * horizontal[0])
    xs, ys = [], []
    for point in points:
        d = tuple(c - o for c, o in zip(point, origin))
        depth = _dot(d, forward)
        xs.append(math.degrees(math.atan2(_dot(d, horizontal), depth)))
        ys.append(math.degrees(math.atan2(_dot(d, vertical), depth)))
    n = len(points)
    mx, my = sum(xs) / n, sum(ys) / n
    vx = sum((x - mx) ** 2 for x in xs) / (n - 1)
    vy = sum((y - my) ** 2 for y in ys) / (n - 1)
    cov = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / (n - 1)
    # sx sy sqrt(1 - rho^2) = sqrt(vx vy - cov^2)
    k = -math.log(1.0 - p)
    return 2 * k * math.pi * math.sqrt(max(0.0, vx * vy - cov * cov))


def eye_quality(target, samples, origin, across=(1.0, 0.0, 0.0)):
    """EyeQuality of samples around a target ((x, y, z) mm) seen from
    `origin` (mm): `samples` in time order, each an (x, y, z) mm point or
    None for a sample without a valid gaze point. Sample-to-sample steps are
    taken between neighbours that are both valid."""
    total = len(samples)
    valid = [s for s in samples if s is not None]
    n = len(valid)
    loss = (total - n) / total if total else None
    if n == 0:
        return EyeQuality(None, None, None, 0, total, None, None, loss)
    accuracy = sum(visual_angle(origin, target, s) for s in valid) / n
    centre = _mean_point(valid)
    centroid = visual_angle(origin, target, centre)
    rms = sd = None
    steps = [visual_angle(origin, a, b) for a, b in zip(samples, samples[1:])
             if a is not None and b is not None]
    if steps:
        rms = math.sqrt(sum(d * d for d in steps) / len(steps))
    if n >= 2:
        sd = math.sqrt(sum(visual_angle(origin, centre, s) ** 2 for s in valid) / (n - 1))
    return EyeQuality(accuracy, rms, sd, n, total, centroid, bcea(valid, origin, across), loss)


def _mean(values):
    values = [v for v in values if v is not None]
    return sum(values) / len(values) if values else None


def overall_quality(qualities):
    """One eye's overall EyeQuality from its EyeQuality at each target:
    figures are means over the targets, counts sums, data loss over all
    samples."""
    valid = sum(q.valid_samples for q in qualities)
    total = sum(q.samples for q in qualities)
    return EyeQuality(_mean(q.accuracy_deg for q in qualities),
                      _mean(q.precision_rms_deg for q in qualities),
                      _mean(q.precision_sd_deg for q in qualities),
                      valid, total,
                      _mean(q.accuracy_centroid_deg for q in qualities),
                      _mean(q.bcea_deg2 for q in qualities),
                      (total - valid) / total if total else None)


def quality_dict(points, left, right):
    """Plain JSON-able data of a report: per target and eye, overall, definitions."""
    def eye(q):
        return dict(q._asdict())
    return {'points': [{'target': list(p.target), 'left': eye(p.left), 'right': eye(p.right)}
                       for p in points],
            'left': eye(left), 'right': eye(right), 'definitions': dict(DEFINITIONS)}


def _fig(value, width=7, decimals=2):
    return '-'.rjust(width) if value is None else '%*.*f' % (width, decimals, value)


def quality_table(title, points, left, right):
    """The report as text: one line per target and eye, then overall."""
    lines = ['%s (degrees of visual angle; accuracy: mean offset of the samples and offset of '
             'their centroid; precision: RMS sample-to-sample and STD; BCEA %d %%, deg2; '
             'loss: samples without gaze)' % (title, round(BCEA_P * 100)),
             '  %-14s %-6s %8s %8s %8s %7s %7s %6s  %s' % (
                 'target', 'eye', 'accuracy', 'centroid', 'RMS-S2S', 'STD', 'BCEA', 'loss',
                 'valid/n')]

    def row(label, eye, q):
        loss = '-'.rjust(4) if q.data_loss is None else '%4.0f' % (100 * q.data_loss)
        return '  %-14s %-6s %s %s %s %s %s %s %%  %d/%d' % (
            label, eye, _fig(q.accuracy_deg, 8), _fig(q.accuracy_centroid_deg, 8),
            _fig(q.precision_rms_deg, 8), _fig(q.precision_sd_deg), _fig(q.bcea_deg2),
            loss.rjust(4), q.valid_samples, q.samples)
    for point in points:
        label = '(%.2f, %.2f)' % tuple(point.target)
        lines.append(row(label, 'left', point.left))
        lines.append(row('', 'right', point.right))
    lines.append(row('overall', 'left', left))
    lines.append(row('', 'right', right))
    return '\n'.join(lines)
