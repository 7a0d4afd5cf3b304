"""Leaf helpers for the files the package writes: JSON lines, JSON files
replaced whole, stream values made JSON-able, and file errors in words."""
from __future__ import absolute_import, division, print_function, unicode_literals

import errno
import io
import json
import math
import os
import re
import sys
import tempfile
import time

from ._compat import PY2, binary_type, string_types, text_type, to_unicode

# A recording folder's files (written by velto.recording, read by velto.reader).
RECORDING_FORMAT = 'velto-recording 1'
GAZE_FILE = 'gaze.csv'
EVENTS_FILE = 'events.jsonl'
METADATA_FILE = 'metadata.json'
IMAGES_FOLDER = 'eye_images'
# Room a recording keeps for its end marker and final metadata (a full disk).
RESERVE_FILE = '.velto-reserve'
RESERVE_BYTES = 64 * 1024
# An eye image of a recording: eye_images/<number>_cam<camera>.gif.
_IMAGE_NAME = re.compile(r'^(\d{6})_cam\d+\.gif$')


def path_text(path, what='the path'):
    """A file or folder argument as text, refused before any work when it
    cannot name one: bytes (a UTF-8 `str` on 2.7, `bytes` on 3.x) are
    decoded with the file system's encoding, a path object (3.x) taken as
    its text; '' and a path holding a NUL raise ValueError naming `what`."""
    if not PY2 and hasattr(os, 'fspath') and not isinstance(path, (bytes, str)):
        try:
            path = os.fspath(path)
        except TypeError:
            pass
    if isinstance(path, binary_type):
        encoding = sys.getfilesystemencoding() or 'utf-8'
        try:
            path = os.fsdecode(path) if not PY2 else path.decode(encoding)
        except UnicodeDecodeError:
            # 2.7 under a locale whose encoding cannot name the path.
            raise ValueError('%s %r is not text in the file system\'s encoding (%s); use a '
                             'UTF-8 locale such as LANG=C.UTF-8' % (what, path, encoding))
    if not isinstance(path, string_types):
        raise TypeError('%s must be text, not %s' % (what, type(path).__name__))
    if not path:
        raise ValueError('%s is empty' % what)
    if '\0' in path:
        raise ValueError('%s must not contain a NUL character: %r' % (what, path))
    return path


def jsonable(value):
    """Stream values as JSON: texts as text whatever their bytes, tuples as
    lists, NaN and infinities as null (strict JSON has neither)."""
    if isinstance(value, dict):
        return dict((to_unicode(k), jsonable(v)) for k, v in value.items())
    if isinstance(value, (tuple, list)):
        return [jsonable(v) for v in value]
    if isinstance(value, (text_type, binary_type)):
        return to_unicode(value)
    if isinstance(value, float) and (math.isnan(value) or math.isinf(value)):
        return None
    return value


# One encoder for every line: json.dumps with these options builds a new one a call.
_LINE_ENCODER = json.JSONEncoder(sort_keys=True, ensure_ascii=True, allow_nan=False)


def json_line(obj):
    """One JSON object as an ASCII line (bytes, newline included)."""
    return (_LINE_ENCODER.encode(obj) + '\n').encode('ascii')


def read_json(path):
    with io.open(path, 'rb') as stream:
        return json.loads(stream.read().decode('utf-8'))


def now_iso():
    """The wall clock in UTC, ISO 8601 to the second."""
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())


def umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def replace_file(path, data, prefix='.velto-', mode=None):
    """Writes `data` (bytes) to `path` through a temporary file in the same
    folder: a reader never sees a half-written file. `mode` defaults to
    0o666 less the umask."""
    folder = os.path.dirname(os.path.abspath(path))
    handle, temporary = tempfile.mkstemp(prefix=prefix, dir=folder)
    try:
        with io.open(handle, 'wb') as stream:
            stream.write(data)
        os.chmod(temporary, (0o666 & ~umask()) if mode is None else mode)
        os.rename(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def append_whole(stream, data):
    """Writes `data` (bytes) to an unbuffered file (io.open(..., buffering=0))
    whole; after a failure (a full disk) the file is cut back to where it
    was, so it never ends in part of what was written."""
    at = stream.tell()
    try:
        view = memoryview(data)
        while len(view):
            written = stream.write(view)
            if not written:
                raise IOError(errno.ENOSPC, 'nothing could be written')
            view = view[written:]
    except BaseException:
        try:
            stream.truncate(at)
            stream.seek(at)
        except EnvironmentError:
            pass
        raise


def reserve_space(path, size):
    """Writes a file of `size` bytes (blocks really taken, not a sparse file),
    to be removed when that room is needed; returns `path`."""
    with io.open(path, 'wb', buffering=0) as stream:
        append_whole(stream, b'\0' * size)
    return path


def remove_paths(paths):
    """Removes files and empty folders, in the order given, as far as possible."""
    for path in paths:
        try:
            if os.path.isdir(path):
                os.rmdir(path)
            else:
                os.unlink(path)
        except EnvironmentError:
            pass


def write_json_atomically(path, obj):
    """Replaces `path` whole with `obj` as indented JSON."""
    data = json.dumps(obj, sort_keys=True, indent=2, allow_nan=False).encode('utf-8') + b'\n'
    replace_file(path, data, prefix='.metadata-', mode=0o644)


def file_reason(error):
    """An EnvironmentError's cause in a few words."""
    reasons = {errno.ENOENT: 'no such file', errno.EISDIR: 'is a folder, not a file',
               errno.EACCES: 'permission denied', errno.EPERM: 'permission denied',
               errno.ENOTDIR: 'a part of the path is not a folder',
               errno.EROFS: 'read-only file system', errno.ENOSPC: 'no space left'}
    return reasons.get(error.errno, error.strerror or str(error))


def image_files(folder, upto=None):
    """The eye-image files of a recording's image folder (numbered up to
    `upto` when given), as paths."""
    if not os.path.isdir(folder):
        return []
    found = []
    for name in os.listdir(folder):
        match = _IMAGE_NAME.match(name)
        if match and (upto is None or int(match.group(1)) <= upto):
            found.append(os.path.join(folder, name))
    return found
