"""The few differences between Python 2.7 and 3.x that the package meets, in
one place: text versus bytes, integer types, the queue module."""
from __future__ import absolute_import, division, print_function, unicode_literals

import sys
import threading

PY2 = sys.version_info[0] == 2

if PY2:  # pragma: no cover - exercised on 2.7 only
    text_type = unicode  # noqa: F821
    binary_type = str
    integer_types = (int, long)  # noqa: F821
    string_types = (str, unicode)  # noqa: F821
else:
    text_type = str
    binary_type = bytes
    integer_types = (int,)
    string_types = (str,)


def native_text(value, what='text'):
    """`value` as the interpreter's own `str`: what the module takes for text
    arguments (UTF-8 bytes on 2.7, text on 3.x). The library reads texts up
    to a NUL, so a text holding one raises ValueError naming `what`."""
    if isinstance(value, str):
        text = value
    elif PY2 and isinstance(value, text_type):
        text = value.encode('utf-8')
    elif not PY2 and isinstance(value, (bytes, bytearray)):
        text = bytes(value)  # the module takes UTF-8 bytes as they are
    else:
        raise TypeError('%s: expected text, got %s' % (what, type(value).__name__))
    if (b'\0' if isinstance(text, bytes) else '\0') in text:
        raise ValueError('%s must not contain a NUL character: %r' % (what, value))
    return text


def to_unicode(value):
    """Text for JSON and messages: bytes that are not UTF-8 are replaced
    rather than refused, since the device library's texts are not checked."""
    if isinstance(value, text_type):
        return value
    if isinstance(value, (bytes, bytearray)):
        return bytes(value).decode('utf-8', 'replace')
    return text_type(value)


def to_bytes(value):
    """Binary data (calibration blocks) as `bytes` (= `str` on 2.7)."""
    if isinstance(value, binary_type):
        return value
    if isinstance(value, (bytearray, memoryview)):
        return bytes(value)
    if PY2 and isinstance(value, text_type):
        raise TypeError('binary data must be bytes, not unicode text')
    raise TypeError('binary data must be bytes, not %s' % type(value).__name__)


if PY2:  # pragma: no cover
    from thread import get_ident
    # At exit 2.7 forgets the main thread's object, so it looks foreign then.
    _MAIN_THREAD = getattr(getattr(threading, '_shutdown', None), '__self__', None)
else:
    from threading import get_ident
    _MAIN_THREAD = threading.main_thread()
_MAIN_IDENT = getattr(_MAIN_THREAD, 'ident', None)


def in_foreign_thread():
    """True on a thread Python did not start: the module's worker thread or a
    device library thread. Waiting for a result there would deadlock, since
    the result comes from the worker thread or needs the library's thread
    free (see docs/threading.md)."""
    return (isinstance(threading.current_thread(), threading._DummyThread) and
            get_ident() != _MAIN_IDENT)


def on_main_thread():
    """True on the interpreter's main thread, the one signal handlers run on."""
    return get_ident() == _MAIN_IDENT
