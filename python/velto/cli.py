"""Helpers for command-line scripts: options checked before any work starts,
refused with one clear line on stderr, and failures reported the same way.

    parser = velto.cli.ArgumentParser(description='...')
    parser.add_argument('--seconds', type=velto.cli.seconds, default=60.0)
    parser.add_argument('--out', type=velto.cli.output_folder, default='recording')
    args = parser.parse_args()
    sys.exit(velto.cli.run(main, args))

A refused option exits with status 2 ("prog: error: argument --seconds: ..."),
a failed operation or file with status 1, Ctrl-C with 130; none with a
traceback.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import argparse
import math
import os
import sys
import tempfile

from .errors import VeltoError

# No eye tracker samples faster; a larger value is a typing mistake.
MAX_FREQUENCY_HZ = 2000.0


class ArgumentParser(argparse.ArgumentParser):
    """argparse's parser, with a usage error as one line instead of two."""

    def error(self, message):
        self.exit(2, '%s: error: %s\n' % (self.prog, message))


def number(text, what):
    try:
        value = float(text)
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError('%s must be a number, not %r' % (what, text))
    if math.isnan(value) or math.isinf(value):
        raise argparse.ArgumentTypeError('%s must be a finite number, not %r' % (what, text))
    return value


def positive(what):
    """An argparse type: a finite number above zero, described as `what`."""
    def check(text):
        value = number(text, what)
        if value <= 0:
            raise argparse.ArgumentTypeError('%s must be above zero, not %r' % (what, text))
        return value
    return check


seconds = positive('a duration in seconds')


def frequency(text):
    """An argparse type: a gaze output frequency in Hz, above 0 and at most
    MAX_FREQUENCY_HZ (which one the tracker offers is only known later)."""
    value = number(text, 'the frequency')
    if not 0 < value <= MAX_FREQUENCY_HZ:
        raise argparse.ArgumentTypeError('the frequency must be above 0 and at most %g Hz, not %r'
                                         % (MAX_FREQUENCY_HZ, text))
    return value


def _read_only(path):
    # Checked on the mode too: as root, os.access calls every file writable.
    return not os.access(path, os.W_OK) or not os.stat(path).st_mode & 0o222


def _check_writable_folder(folder):
    if not os.path.isdir(folder):
        raise argparse.ArgumentTypeError('%s is not a folder' % folder)
    if _read_only(folder):
        raise argparse.ArgumentTypeError('the folder %s is not writable' % folder)
    try:
        handle, probe = tempfile.mkstemp(prefix='.velto-probe-', dir=folder)
        os.close(handle)
        os.unlink(probe)
    except EnvironmentError as error:
        raise argparse.ArgumentTypeError('the folder %s is not writable (%s)'
                                         % (folder, error.strerror))


def output_folder(text):
    """An argparse type: a folder to write into, absolute. It may not exist
    yet (it is made then), but the folder it would be made in must."""
    folder = os.path.abspath(text)
    if os.path.exists(folder):
        _check_writable_folder(folder)
    else:
        parent = os.path.dirname(folder)
        if not os.path.isdir(parent):
            raise argparse.ArgumentTypeError('the folder %s does not exist, so %s cannot be made'
                                             % (parent, folder))
        _check_writable_folder(parent)
    return folder


def readable_file(text):
    """An argparse type: an existing file that can be read, absolute."""
    path = os.path.abspath(text)
    if not os.path.exists(path):
        raise argparse.ArgumentTypeError('%s does not exist' % path)
    if os.path.isdir(path):
        raise argparse.ArgumentTypeError('%s is a folder, not a file' % path)
    if not os.access(path, os.R_OK) or not os.stat(path).st_mode & 0o444:
        raise argparse.ArgumentTypeError('%s is not readable' % path)
    return path


def writable_file(text):
    """An argparse type: a file to write (made or replaced), absolute."""
    path = os.path.abspath(text)
    if os.path.isdir(path):
        raise argparse.ArgumentTypeError('%s is a folder, not a file' % path)
    if os.path.exists(path) and _read_only(path):
        raise argparse.ArgumentTypeError('%s is read-only' % path)
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        raise argparse.ArgumentTypeError('the folder %s does not exist' % folder)
    _check_writable_folder(folder)
    return path


def run(main, *args):
    """Runs main(*args) and returns the exit status for sys.exit: main's
    return value (0 for None); 1 with one line on stderr for a VeltoError, a
    file error or a module that cannot be imported; 130 for Ctrl-C."""
    prog = os.path.basename(sys.argv[0]) or 'velto'
    try:
        return main(*args) or 0
    except VeltoError as error:
        sys.stderr.write('%s: error: %s\n' % (prog, error))
    except EnvironmentError as error:
        where = ' (%s)' % error.filename if getattr(error, 'filename', None) else ''
        sys.stderr.write('%s: error: %s%s\n' % (prog, error.strerror or error, where))
    except ImportError as error:  # the module is not built or not on the path
        sys.stderr.write('%s: error: %s\n' % (prog, error))
    except KeyboardInterrupt:
        sys.stderr.write('%s: interrupted\n' % prog)
        return 130
    return 1
