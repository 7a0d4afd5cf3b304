"""What ends a recording from outside: Ctrl-C, SIGTERM, a second recording
into the same folder.

- One open recording a folder: claim_folder() / release_folder(), by real
  path, in this process.
- While a recording is open on the main thread with the default SIGTERM
  handler in place, SIGTERM raises Terminated (a SystemExit, status 143) on
  the main thread, so `with` blocks close their recordings; the default
  handler is back when the last one is released.
- Shield(): a block during which Ctrl-C (and SIGTERM handled here) is
  deferred, then raised; closing a recording runs under it.

Data layer: leaf helpers only.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import os
import signal
import threading

from ._compat import on_main_thread
from .errors import VeltoError


class Terminated(SystemExit):
    """SIGTERM arrived while a recording was open: raised on the main thread
    so that `with` blocks close their recordings; exits with status 143."""

    def __init__(self, code=128 + signal.SIGTERM):
        SystemExit.__init__(self, code)


# Folders open recordings write to, by real path: one recording a folder.
_folders = {}
_folders_lock = threading.Lock()
_sigterm = {'installed': False}


def _on_sigterm(signum, frame):
    with _folders_lock:
        recording = bool(_folders)
    if not recording:
        # Left installed past the last recording (restored only on the main
        # thread): what the default handler would have done.
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        _sigterm['installed'] = False
        os.kill(os.getpid(), signal.SIGTERM)
        return
    _sigterm['received'] = True
    raise Terminated()


def claim_folder(path, recording):
    """Registers an open recording's folder (refusing a second one) and
    turns SIGTERM into Terminated while recordings are open."""
    with _folders_lock:
        if path in _folders:
            raise VeltoError('record', None, 'folder %s' % path,
                             name='another open recording writes to that folder')
        _folders[path] = recording
    if not _sigterm['installed'] and on_main_thread():
        try:
            if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
                signal.signal(signal.SIGTERM, _on_sigterm)
                _sigterm['installed'] = True
        except (ValueError, AttributeError):
            pass


def release_folder(path, recording):
    with _folders_lock:
        if _folders.get(path) is recording:
            del _folders[path]
        last = not _folders
    if last and _sigterm['installed'] and on_main_thread():
        try:
            if signal.getsignal(signal.SIGTERM) is _on_sigterm:
                signal.signal(signal.SIGTERM, signal.SIG_DFL)
            _sigterm['installed'] = False
        except ValueError:
            pass


class Shield(object):
    """Defers Ctrl-C (and SIGTERM when it is handled in Python) on the main
    thread while a block runs; the first deferred signal is delivered to its
    handler when the block ends. Elsewhere it does nothing (signals only
    interrupt the main thread)."""

    SIGNALS = tuple(getattr(signal, name) for name in ('SIGINT', 'SIGTERM') if hasattr(signal, name))

    def __enter__(self):
        self.saved = {}
        self.caught = []
        if not on_main_thread():
            return self
        for signum in self.SIGNALS:
            try:
                handler = signal.getsignal(signum)
                if callable(handler):
                    self.saved[signum] = handler
                    signal.signal(signum, self._defer)
            except ValueError:
                pass
        return self

    def _defer(self, signum, frame):
        self.caught.append((signum, frame))

    def __exit__(self, *exc):
        for signum, handler in self.saved.items():
            signal.signal(signum, handler)
        if self.caught:
            signum, frame = self.caught[0]
            self.saved[signum](signum, frame)  # raises KeyboardInterrupt or Terminated, as it would have
        return False


def sigterm_received():
    """True once SIGTERM was turned into Terminated in this process."""
    return bool(_sigterm.get('received'))
