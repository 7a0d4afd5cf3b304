"""The manager's shared pieces: the refusal of a request (ApiError), library
values as JSON, and the check that keeps every path inside the save folder.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import math
import os


class ApiError(Exception):
    """A request refused: `http` status, message, and extra JSON fields."""

    def __init__(self, http, message, **fields):
        Exception.__init__(self, message)
        self.http = http
        self.message = message
        self.fields = fields


def text(value):
    """Library text (bytes on 2.7) as text."""
    if isinstance(value, bytes):
        return value.decode('utf-8', 'replace')
    return value if value is None else '%s' % (value,)


def velto_error(error):
    """An ApiError (422) carrying a VeltoError's operation, status and message."""
    return ApiError(422, text(str(error)), operation=text(error.operation), status=error.status,
                    status_name=text(error.status_name))


def number(value):
    """A float for JSON: None for NaN or infinity."""
    if value is None or isinstance(value, float) and (math.isnan(value) or math.isinf(value)):
        return None
    return value


def rounded(values, digits=4):
    return [None if v != v else round(v, digits) for v in values]


def clean(value):
    """JSON-safe data: NaN and infinity as None, tuples as lists, bytes as text."""
    if isinstance(value, dict):
        return dict((text(k), clean(v)) for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return [clean(v) for v in value]
    if isinstance(value, float):
        return number(value)
    if isinstance(value, bytes):
        return text(value)
    return value


# ------------------------------------------------------------------ paths

def resolve_under(root, name, what='path'):
    """`name` (relative, '/'-separated) as an absolute path inside the folder
    `root`; ApiError 403 when it would land outside it, also through '..' or
    a symbolic link, and 400 for an empty or absolute name."""
    if isinstance(name, bytes):
        name = name.decode('utf-8', 'replace')
    if not isinstance(name, type('')) or not name.strip():
        raise ApiError(400, 'give a %s name' % what)
    if '\x00' in name:
        raise ApiError(400, 'the %s name holds a NUL character' % what)
    if os.path.isabs(name) or name.startswith(('~', '\\')):
        raise ApiError(403, 'the %s must be inside the save folder %s, not %s' % (what, root, name))
    base = os.path.realpath(root)
    target = os.path.realpath(os.path.join(base, name))
    if target == base or not target.startswith(base.rstrip(os.sep) + os.sep):
        raise ApiError(403, 'the %s must be inside the save folder %s, not %s' % (what, root, name))
    return target
