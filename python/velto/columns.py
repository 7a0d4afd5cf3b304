"""The gaze columns of a recording: one table drives the CSV header, the
metadata's column list, the row formatting of every column set and the
types the reader gives each column.

Each row of FIELDS is one field: its column name (with {eye} and {axis}
filled in), unit, meaning, the value as a Python expression of the gaze
dict `s` and the recording's start `start`, its %-format, the validity key
that must be 1 for a cell to be written (else the cell is empty), the type
read back, the axes it spans and the column sets it belongs to. A per-eye
field gives the left eye's columns, then the right eye's. The 'compact' set
keeps the table's order; 'full' puts the time columns first, then every
left-eye column, then every right-eye one. Adding a column is one row here
(and its line in docs/python-api.md).

A recording's GazeSink queues the samples and formats them in batches:
with the native row formatter (the extension velto_rows, built with the
module) by a program made from the table; without it, or for a column whose
value that program cannot express, by format_rows().

format_rows() is compiled from the table once per set: a row whose gates
all hold is one %-format; numbers are written with at most their format's
decimals, trailing zeros dropped ('0.25', '3', never '-0'), NaN and
infinities as a careful per-cell path would write them. Trailing zeros go
in a few text replacements over the whole batch: each fixed-point cell is
formatted with a mark after it, so only those cells lose zeros.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import operator
import re

from ._compat import to_unicode

try:
    import velto_rows  # the native row formatter, built and installed with the module
except ImportError:
    velto_rows = None

Column = collections.namedtuple('Column', 'name unit description value format valid reader eye sets')
Column.to_dict = lambda self: {'name': self.name, 'unit': self.unit, 'description': self.description}

COMPACT, FULL = ('compact', 'full'), ('full',)
_AXES = {'': {}, 'x': {'i': 0, 'dim': 'width', 'low': 'left', 'high': 'right'},
         'y': {'i': 1, 'dim': 'height', 'low': 'top', 'high': 'bottom'}, 'z': {'i': 2}}
_XY = ('{eye} eye\'s gaze point on the display area, normalised: 0 at the {low} edge, 1 at the '
       '{high} edge (outside 0..1: off the screen); 4 decimals; empty when not valid')
_USER = 'user coordinate system (origin at the tracker, x right, y up, z towards the user)'
_FLAGS = ("(s['{eye}_gaze_point_validity'] == 1) + 2 * (s['{eye}_pupil_validity'] == 1)"
          " + 4 * (s['{eye}_gaze_origin_validity'] == 1)")

# name, unit, meaning, value, format, valid when 1, read as, axes, sets
FIELDS = [
    ('time_us', 'us', 'sample time (system clock) minus the recording start '
     '(metadata start.system_time_us); integer microseconds',
     "s['system_time_stamp'] - start", '%d', None, int, '', COMPACT),
    ('system_time_us', 'us', 'sample time stamp, system clock (absolute)',
     "s['system_time_stamp']", '%d', None, int, '', FULL),
    ('device_time_us', 'us', 'sample time stamp, the tracker\'s clock (absolute)',
     "s['device_time_stamp']", '%d', None, int, '', FULL),
    ('{eye}_{axis}', 'display {dim}', _XY,
     "s['{eye}_gaze_point_on_display_area'][{i}]", '%.4f', '{eye}_gaze_point_validity', float,
     'xy', COMPACT),
    ('{eye}_gaze_{axis}_mm', 'mm', '{eye} eye\'s gaze point in the ' + _USER + '; 1 decimal',
     "s['{eye}_gaze_point_in_user_coordinate_system'][{i}]", '%.1f', '{eye}_gaze_point_validity',
     float, 'xyz', FULL),
    ('{eye}_pupil', 'mm', '{eye} pupil diameter; 2 decimals; empty when not valid',
     "s['{eye}_pupil_diameter']", '%.2f', '{eye}_pupil_validity', float, '', COMPACT),
    ('{eye}_origin_{axis}_mm', 'mm', '{eye} eye\'s position (gaze origin), ' + _USER
     + '; 1 decimal', "s['{eye}_gaze_origin_in_user_coordinate_system'][{i}]", '%.1f',
     '{eye}_gaze_origin_validity', float, 'xyz', FULL),
    ('{eye}_origin_box_{axis}', 'track box', '{eye} eye\'s position in the track box, 0..1 (x '
     'from the left face, y from the upper face, z from the front face); 4 decimals',
     "s['{eye}_gaze_origin_in_trackbox_coordinate_system'][{i}]", '%.4f',
     '{eye}_gaze_origin_validity', float, 'xyz', FULL),
    ('{eye}_gaze_validity', 'code', 'the tracker\'s validity value of the {eye} eye\'s gaze (1: '
     'valid)', "s['{eye}_gaze_point_validity']", '%d', None, int, '', FULL),
    ('{eye}_pupil_validity', 'code', 'the tracker\'s validity value of the {eye} eye\'s pupil (1: '
     'valid)', "s['{eye}_pupil_validity']", '%d', None, int, '', FULL),
    ('{eye}_origin_validity', 'code', 'the tracker\'s validity value of the {eye} eye\'s origin '
     '(1: valid)', "s['{eye}_gaze_origin_validity']", '%d', None, int, '', FULL),
    ('{eye}_valid', 'flags', 'which of the {eye} eye\'s data are valid, as a sum: 1 gaze point, '
     '2 pupil, 4 gaze origin (7: all; 0: none, e.g. during a blink)', _FLAGS, '%d', None, int, '',
     ('compact',)),
]


def _expand(fields):
    """Every column of the table, per-eye fields as left then right."""
    columns = []
    for name, unit, text, value, fmt, valid, reader, axes, sets in fields:
        for eye in ('left', 'right') if '{eye}' in name else (None,):
            for axis in axes or ('',):
                keys = dict(_AXES[axis], eye=eye, axis=axis)
                fill = lambda t: t.format(**keys) if t else t  # noqa: E731
                columns.append(Column(fill(name), fill(unit), fill(text), fill(value), fmt,
                                      fill(valid), reader, eye, sets))
    return columns


COLUMNS = _expand(FIELDS)
_EYE_RANK = {None: 0, 'left': 1, 'right': 2}


def _column_set(name):
    chosen = [c for c in COLUMNS if name in c.sets]
    if name == 'full':
        chosen.sort(key=lambda c: _EYE_RANK[c.eye])  # stable: table order within each eye
    return chosen


COLUMN_SETS = dict((name, _column_set(name)) for name in ('compact', 'full'))
_BY_NAME = dict((c.name, c) for c in COLUMNS)


def header(columns='compact'):
    """The CSV header line (without the newline) of a column set."""
    return ','.join(c.name for c in COLUMN_SETS[columns])


def column_dicts(columns='compact'):
    """name, unit and meaning of each column of a set (metadata.json 'columns')."""
    return [c.to_dict() for c in COLUMN_SETS[columns]]


def reader_types(names):
    """The type (int or float) of each named column; a column not in the
    table (a recording of a later version) is read by its name's suffix."""
    return [_BY_NAME[n].reader if n in _BY_NAME else
            (int if n.endswith(('_us', '_valid', '_validity')) else float) for n in names]


# -------------------------------------------------------------------- formatting

# The fast path ends each fixed-point cell with this mark, so that trailing
# zeros are found by plain text replacement (integers have none to lose).
_MARK = str(';')
_MINUS_ZERO = re.compile(r'(?<![\d.])-0(?=[,\n])')


def _cell(fmt, value):
    """One cell the careful way: '' for NaN, trailing zeros dropped."""
    if value != value:
        return ''
    text = fmt % value
    if '.' in text:
        text = text.rstrip('0').rstrip('.')
    return '0' if text == '-0' else text


def _compile(columns):
    """format_rows(samples, start) -> list of lines, and the careful
    format_row(s, start), generated from the columns' values and formats.
    In the branch where every gate holds, a gate's own test in a value is
    the constant 1, so a value made of gates only (the flags) folds away."""
    gates = []
    for c in columns:
        if c.valid and c.valid not in gates:
            gates.append(c.valid)
    tests = dict((key, "(s['%s'] == 1)" % key) for key in gates)

    def when_valid(value):
        for key in gates:
            value = value.replace(tests[key], '1')
        return value

    def marked(fmt):
        return fmt + _MARK if fmt.endswith('f') else fmt
    fast = str(','.join(marked(c.format) for c in columns))  # native str: bytes on 2.7 are quicker
    values = ', '.join(when_valid(c.value) for c in columns)
    slow = ', '.join("%r %% (%s)" % (str(marked(c.format)), c.value) if not c.valid else
                     "(%r %% (%s)) if s[%r] == 1 else ''" % (str(marked(c.format)), c.value, str(c.valid))
                     for c in columns)
    careful = ', '.join("cell(%r, %s)" % (str(c.format), c.value) if not c.valid else
                        "cell(%r, %s) if s['%s'] == 1 else ''" % (str(c.format), c.value, c.valid)
                        for c in columns)
    source = '\n'.join([
        'def format_rows(samples, start):',
        '    return [%r %% (%s,) if gates(s) == valid else' % (fast, values),
        '            join((%s,)) for s in samples]' % slow,
        '',
        'def format_row(s, start):',
        '    return join((%s,))' % careful]) + '\n'
    namespace = {'join': str(',').join, 'cell': _cell, 'valid': (1,) * len(gates),
                 'gates': (lambda s: ()) if not gates else
                 (lambda s, get=operator.itemgetter(*gates): (get(s),)) if len(gates) == 1 else
                 operator.itemgetter(*gates)}
    # Compiled without this file's unicode_literals: the literals are native str.
    exec(compile(str(source), '<velto columns>', 'exec', 0, True), namespace)
    decimals = max([int(c.format[2:-1]) for c in columns if c.format.endswith('f')] or [0])
    return namespace['format_rows'], namespace['format_row'], decimals


_NEWLINE, _NATIVE_EMPTY = str('\n'), str('')
_ZERO_MARK, _POINT_MARK = str('0') + _MARK, str('.') + _MARK
_COMPILED = dict((name, _compile(columns)) for name, columns in COLUMN_SETS.items())


def format_rows(samples, start, columns='compact'):
    """The CSV text (each line ending in a newline) of a batch of gaze dicts."""
    fast_rows, careful_row, decimals = _COMPILED[columns]
    if not samples:
        return _NATIVE_EMPTY
    text = _NEWLINE.join(fast_rows(samples, start)) + _NEWLINE
    if 'n' in text:  # nan or inf somewhere: those rows the careful way
        return _NATIVE_EMPTY.join(careful_row(s, start) + _NEWLINE for s in samples)
    for _ in range(decimals):  # each pass drops one trailing zero of every marked cell
        if _ZERO_MARK not in text:
            break
        text = text.replace(_ZERO_MARK, _MARK)
    text = text.replace(_POINT_MARK, _NATIVE_EMPTY).replace(_MARK, _NATIVE_EMPTY)
    if '-0,' in text or '-0\n' in text:  # only a cell that is exactly '-0' has these
        text = _MINUS_ZERO.sub('0', text)
    return text


def gaze_row(sample, start=0, columns='compact'):
    """One gaze dict as the CSV line (text, without the newline) a recording writes."""
    return to_unicode(format_rows([sample], start, columns)[:-1])


# ------------------------------------------------------------ recording's sink

# The native program's kinds of column (velto_rows): an integer value, an
# integer minus the recording's start, a fixed-point value, validity flags.
_INTEGER, _SINCE_START, _FIXED, _FLAGS_KIND = range(4)
_SINCE = re.compile(r"^s\['(\w+)'\] - start$")
_ITEM = re.compile(r"^s\['(\w+)'\](?:\[(\d+)\])?$")
_FLAG_TERM = re.compile(r"^(?:(\d+) \* )?\(s\['(\w+)'\] == 1\)$")
_FIXED_FORMAT = re.compile(r'^%\.(\d+)f$')


def _native_op(column):
    """The native program's entry for a column, or None when its value or
    format is beyond what the program expresses (then Python formats)."""
    fixed = _FIXED_FORMAT.match(column.format)
    if not fixed and column.format != '%d':
        return None
    gate = str(column.valid) if column.valid else None
    since, item = _SINCE.match(column.value), _ITEM.match(column.value)
    terms = [_FLAG_TERM.match(t) for t in column.value.split(' + ')]
    if since and not fixed:
        return (_SINCE_START, str(since.group(1)), -1, 0, gate, ())
    if item:
        index = int(item.group(2)) if item.group(2) is not None else -1
        return ((_FIXED, str(item.group(1)), index, int(fixed.group(1)), gate, ()) if fixed else
                (_INTEGER, str(item.group(1)), index, 0, gate, ()))
    if all(terms) and not fixed:
        return (_FLAGS_KIND, str(''), -1, 0, gate,
                tuple((str(t.group(2)), int(t.group(1) or 1)) for t in terms))
    return None


def native_program(columns):
    """Columns (a list of Column) as velto_rows' program, or None when one of
    them is beyond it (a value other than a key, an item of one, the time
    since the start or validity flags; a format other than %d and %.Nf)."""
    ops = tuple(_native_op(c) for c in columns)
    return None if None in ops else ops


class GazeSink(object):
    """Where a recording's gaze samples go: `callback(sample)` on the library's
    thread only queues (no Python frame a sample); `take()`, on one writer
    thread, -> (the CSV rows of the samples queued since, as bytes; the tuple
    of each sample's values of `keep_keys`, two or more). The rows come from
    velto_rows when it is there and can express the column set (native=True),
    else from format_rows(): the same bytes either way."""

    def __init__(self, start, columns, keep_keys, native=True):
        self._queue = collections.deque()
        self.callback = self._queue.append
        self._keep = operator.itemgetter(*[str(k) for k in keep_keys])
        self._start, self._columns = start, columns
        self._program = (native_program(COLUMN_SETS[columns]) if native and velto_rows is not None
                         else None)
        careful_row = _COMPILED[columns][1]
        self._careful = lambda s: careful_row(s, start)

    native = property(lambda self: self._program is not None, doc='rows formatted by velto_rows')

    def take(self):
        queue = self._queue
        popleft = queue.popleft
        batch = [popleft() for _ in range(len(queue))]  # only the writer takes from it
        if not batch:
            return b'', []
        kept = list(map(self._keep, batch))
        if self._program is not None:
            try:
                return velto_rows.format_rows(batch, self._program, self._start, self._careful), kept
            except Exception:  # a velto_rows of another build: the Python way from now on
                self._program = None
        text = format_rows(batch, self._start, self._columns)
        return (text if isinstance(text, bytes) else text.encode('ascii')), kept
