"""The package's leaf helpers: screen and track box geometry, visual angle,
and the checks of plain arguments (numbers, timeouts). Imports nothing of
the package but its compatibility shims, so every layer may use it."""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import math


def nominal(value):
    """A float the library holds as a 32-bit float, read as its nominal value
    (-265.65 rather than -265.6499938964844): seven significant digits."""
    return float('%.7g' % value)


def nominal_point(value):
    return tuple(nominal(v) for v in value)


def finite_float(value, what):
    """A finite float from an int, float or numeric text: the module wants a
    Python float where the library takes a float (an int is refused)."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError('%s must be a number, not %r' % (what, value))
    if math.isnan(number) or math.isinf(number):
        raise ValueError('%s must be finite, not %r' % (what, value))
    return number


def check_timeout(value, what='timeout'):
    """`value` as seconds to wait: None (no limit) or a positive number."""
    if value is None:
        return None
    number = finite_float(value, what)
    if number <= 0:
        raise ValueError('%s must be positive, not %r' % (what, value))
    return number


class DisplayArea(collections.namedtuple('DisplayArea', (
        'top_left', 'top_right', 'bottom_left', 'bottom_right', 'width', 'height'))):
    """The screen in the user coordinate system: corners as (x, y, z) in mm
    (origin at the tracker, x to the user's right, y up, z towards the user),
    width and height in mm."""
    __slots__ = ()

    @classmethod
    def from_dict(cls, area):
        return cls(nominal_point(area['top_left']), nominal_point(area['top_right']),
                   nominal_point(area['bottom_left']), nominal_point(area['bottom_right']),
                   nominal(area['width']), nominal(area['height']))

    def to_dict(self):
        return dict((key, list(value) if isinstance(value, tuple) else value)
                    for key, value in self._asdict().items())

    def point(self, x, y):
        """The (x, y, z) mm position of a display-area normalised point, (0, 0)
        at the top-left corner, (1, 1) at the bottom-right one."""
        tl, tr, bl = self.top_left, self.top_right, self.bottom_left
        return tuple(tl[i] + x * (tr[i] - tl[i]) + y * (bl[i] - tl[i]) for i in range(3))

    def to_mm(self, x, y):
        """A normalised point as millimetres from the top-left corner."""
        return x * self.width, y * self.height


class TrackBox(collections.namedtuple('TrackBox', (
        'back_lower_left', 'back_lower_right', 'back_upper_left', 'back_upper_right',
        'front_lower_left', 'front_lower_right', 'front_upper_left', 'front_upper_right'))):
    """The volume in which the tracker finds the eyes: eight (x, y, z) mm corners."""
    __slots__ = ()

    @classmethod
    def from_dict(cls, box):
        return cls(*[nominal_point(box[name]) for name in cls._fields])

    def to_dict(self):
        return dict((key, list(value)) for key, value in self._asdict().items())

    @property
    def center(self):
        return tuple(sum(corner[i] for corner in self) / 8.0 for i in range(3))


def visual_angle(origin, a, b):
    """The angle in degrees between points `a` and `b` (mm) seen from `origin` (mm)."""
    u = (a[0] - origin[0], a[1] - origin[1], a[2] - origin[2])
    v = (b[0] - origin[0], b[1] - origin[1], b[2] - origin[2])
    cross = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
    dot = u[0] * v[0] + u[1] * v[1] + u[2] * v[2]
    return math.degrees(math.atan2(math.sqrt(sum(c * c for c in cross)), dot))
