"""The files of a BIDS export: the labels of file names and the names of an
export's files, TSV and JSON as BIDS wants them, and writing every file
under a temporary name, renamed only when all are complete (bids.py holds
what the files say).
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import gzip
import io
import json
import math
import os
import re
import tempfile

from ._compat import integer_types, string_types, to_unicode

_LABEL = re.compile(r'^[A-Za-z0-9]+$')


# -------------------------------------------------------------------- names

def entity_label(name, value):
    """`value` (text, or a whole number of 0 or more) as the label of a file
    name entity (sub-, ses-, task-); ValueError unless letters and digits."""
    if isinstance(value, integer_types) and not isinstance(value, bool) and value >= 0:
        value = '%d' % value
    value = to_unicode(value) if isinstance(value, string_types) else value
    if not isinstance(value, string_types) or not _LABEL.match(value):
        raise ValueError('%s must be a label of letters and digits only, not "%s"'
                         % (name, to_unicode(value) if isinstance(value, string_types) else value))
    return value


def run_index(value):
    """A run's index (a whole number of 0 or more) as text; ValueError otherwise."""
    try:
        number = int(value)
    except (TypeError, ValueError):
        number = -1
    if isinstance(value, bool) or number < 0 or (isinstance(value, float) and value != number):
        raise ValueError('run must be a whole number of 0 or more, not %s' % (value,))
    return '%d' % number


def export_stem(root, subject, task, session, run, datatype):
    """(folder, file name stem) of an export's files under the dataset `root`
    from its checked labels: sub-S[/ses-E]/DATATYPE and
    sub-S[_ses-E]_task-T[_run-R]."""
    folder = os.path.join(root, 'sub-' + subject)
    stem = 'sub-' + subject
    if session is not None:
        folder = os.path.join(folder, 'ses-' + session)
        stem += '_ses-' + session
    folder = os.path.join(folder, datatype)
    stem += '_task-' + task + ('' if run is None else '_run-' + run)
    return folder, stem


# -------------------------------------------------------------------- formatting

def _finite(value):
    return (isinstance(value, integer_types + (float,)) and not isinstance(value, bool)
            and not (math.isnan(value) or math.isinf(value)))


def tsv_number(value, digits=4):
    """A cell: integers as they are, floats with at most `digits` decimals, n/a when missing."""
    if isinstance(value, integer_types) and not isinstance(value, bool):
        return '%d' % value
    if not _finite(value):
        return 'n/a'
    text = ('%.*f' % (digits, value)).rstrip('0').rstrip('.')
    return '0' if text in ('-0', '') else text


def tsv_text(value):
    """A TSV cell of text: tabs and line breaks become spaces, empty is n/a."""
    if value is None:
        return 'n/a'
    text = re.sub(r'[\t\r\n]+', ' ', to_unicode(value)).strip()
    return text or 'n/a'


def json_bytes(obj):
    return (json.dumps(obj, indent=2, sort_keys=True, ensure_ascii=False, allow_nan=False,
                       separators=(',', ': '))
            + '\n').encode('utf-8')


def tsv_bytes(rows):
    return ''.join('\t'.join(row) + '\n' for row in rows).encode('utf-8')


# -------------------------------------------------------------------- writing

class Staging(object):
    """Files written under temporary names in their folders, renamed to
    their names by commit(); discard() removes them and the folders made."""

    def __init__(self):
        self.staged = []
        self.made = []

    def folder(self, path):
        missing = []
        while path and not os.path.isdir(path):
            missing.append(path)
            path = os.path.dirname(path)
        for folder in reversed(missing):
            os.mkdir(folder)
            self.made.append(folder)

    def write(self, path, data=None, lines=None, compress=False):
        self.folder(os.path.dirname(path))
        handle, temporary = tempfile.mkstemp(prefix='.%s.' % os.path.basename(path), suffix='.tmp',
                                             dir=os.path.dirname(path))
        self.staged.append((temporary, path))
        with io.open(handle, 'wb') as stream:
            target = (gzip.GzipFile(filename='', mode='wb', fileobj=stream, mtime=0) if compress
                      else stream)
            try:
                if data is not None:
                    target.write(data)
                buffered = []
                for line in lines or ():
                    buffered.append(line)
                    if len(buffered) >= 4096:
                        target.write(''.join(buffered).encode('utf-8'))
                        buffered = []
                if buffered:
                    target.write(''.join(buffered).encode('utf-8'))
            finally:
                if compress:
                    target.close()
        os.chmod(temporary, 0o644)

    def commit(self):
        for temporary, path in self.staged:
            os.rename(temporary, path)
        self.staged = []

    def discard(self):
        for temporary, _ in self.staged:
            if os.path.exists(temporary):
                os.unlink(temporary)
        for folder in reversed(self.made):
            try:
                os.rmdir(folder)
            except OSError:
                pass

