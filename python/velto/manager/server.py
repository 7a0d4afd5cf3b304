"""The manager's HTTP server: standard library only, one thread a request.

Serves the page (static/), the JSON API (api.py) and the live stream
(Server-Sent Events at /api/stream, thinned to the page's frame rate).
Safety rules, in order, for every request: the Host header must name this
server; an Origin header, when sent, must be this server's own; a POST must
carry the run's token (X-Velto-Token) and a JSON body of at most 64 KiB.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import binascii
import errno
import hmac
import io
import json
import os
import socket
import sys
import threading
import time

from . import api
from .state import ApiError, image_data_url, sample_frame, trail_point, text

try:  # Python 3
    from http.server import BaseHTTPRequestHandler, HTTPServer
    from socketserver import ThreadingMixIn
    from urllib.parse import parse_qs, urlsplit
except ImportError:  # Python 2.7
    from BaseHTTPServer import BaseHTTPRequestHandler, HTTPServer
    from SocketServer import ThreadingMixIn
    from urlparse import parse_qs, urlsplit

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'static')
CONTENT_TYPES = {'.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
                 '.css': 'text/css; charset=utf-8', '.png': 'image/png', '.svg': 'image/svg+xml'}
MAX_BODY = 64 * 1024
MAX_STREAMS = 16          # open live streams (tabs) at once
STATUS_INTERVAL = 0.5     # seconds between the figures sent on a live stream
TRAIL_POINTS = 12         # gaze points a frame carries for the trail, at most
CSP = ("default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'; "
       "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'")


class Server(ThreadingMixIn, HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, manager, host='127.0.0.1', port=8410, token=None, allowed_hosts=(),
                 verbose=False):
        self.address_family = socket.AF_INET6 if ':' in host else socket.AF_INET
        HTTPServer.__init__(self, (host, port), Handler)
        self.manager = manager
        self.token = token or binascii.hexlify(os.urandom(24)).decode('ascii')
        self.verbose = verbose
        self.stopping = threading.Event()
        self.streams = threading.BoundedSemaphore(MAX_STREAMS)
        port = self.server_address[1]
        names = {'127.0.0.1', 'localhost', '[::1]'}
        if host not in ('', '0.0.0.0', '::'):
            names.add('[%s]' % host if ':' in host else host)
        names.update(allowed_hosts)
        self.allowed_hosts = set('%s:%d' % (n, port) for n in names)
        if port == 80:
            self.allowed_hosts.update(names)

    def handle_error(self, request, client_address):
        # A page that went away mid-answer is normal; anything else is shown.
        error = sys.exc_info()[1]
        if isinstance(error, (socket.error, IOError)) and getattr(error, 'errno', None) in (
                errno.EPIPE, errno.ECONNRESET, errno.ECONNABORTED, errno.ESHUTDOWN):
            return
        HTTPServer.handle_error(self, request, client_address)

    @property
    def url(self):
        host = self.server_address[0]
        if host in ('', '0.0.0.0', '::'):
            host = '127.0.0.1'
        return 'http://%s:%d/' % ('[%s]' % host if ':' in host else host, self.server_address[1])

    def stop(self):
        """Ends the live streams and the request loop (not the manager's state)."""
        self.stopping.set()
        self.shutdown()
        self.server_close()


class Handler(BaseHTTPRequestHandler):
    server_version = 'velto-manager'
    timeout = 30  # a request that does not finish arriving is dropped

    def log_message(self, format, *args):
        if self.server.verbose:
            BaseHTTPRequestHandler.log_message(self, format, *args)

    # -------------------------------------------------------------- replies

    def _send(self, code, body, content_type, extra=()):
        self.send_response(code)
        self.send_header('Content-Type', content_type)
        self.send_header('Content-Length', str(len(body)))
        self.send_header('Cache-Control', 'no-store')
        self.send_header('X-Content-Type-Options', 'nosniff')
        self.send_header('X-Frame-Options', 'DENY')
        self.send_header('Referrer-Policy', 'no-referrer')
        for name, value in extra:
            self.send_header(name, value)
        self.end_headers()
        if self.command != 'HEAD':
            self.wfile.write(body)

    def _json(self, code, data):
        body = json.dumps(data, allow_nan=False, sort_keys=True).encode('utf-8')
        self._send(code, body, 'application/json; charset=utf-8')

    def _error(self, error):
        data = dict(error.fields)
        data['error'] = error.message
        data['http_status'] = error.http
        self._json(error.http, data)

    # -------------------------------------------------------------- checks

    def _check_origin(self):
        host = self.headers.get('Host', '')
        if host not in self.server.allowed_hosts:
            raise ApiError(403, 'refused: the Host header %r does not name this server' % host)
        origin = self.headers.get('Origin')
        if origin is not None and origin != 'http://' + host:
            raise ApiError(403, 'refused: requests from %s are not accepted' % origin)
        # A page of another site cannot read our answers (no CORS headers),
        # and cannot send the token it never saw.
        fetch_site = self.headers.get('Sec-Fetch-Site')
        if fetch_site not in (None, 'same-origin', 'none'):
            raise ApiError(403, 'refused: a cross-site request')

    def _check_token(self, given):
        given = given or ''
        given = given.encode('utf-8') if not isinstance(given, bytes) else given
        if not given or not hmac.compare_digest(given, self.server.token.encode('ascii')):
            raise ApiError(403, 'refused: missing or wrong token (reload the page)')

    def _body(self):
        length = self.headers.get('Content-Length')
        try:
            length = int(length)
        except (TypeError, ValueError):
            raise ApiError(411, 'a POST needs a Content-Length')
        if length < 0 or length > MAX_BODY:
            raise ApiError(413, 'the request body is larger than %d bytes' % MAX_BODY)
        data = self.rfile.read(length) if length else b''
        kind = (self.headers.get('Content-Type') or '').split(';')[0].strip().lower()
        if data and kind != 'application/json':
            raise ApiError(415, 'send the body as application/json')
        if not data:
            return {}
        try:
            return json.loads(data.decode('utf-8'))
        except ValueError:
            raise ApiError(400, 'the request body is not valid JSON')

    # -------------------------------------------------------------- methods

    def do_GET(self):
        try:
            self._check_origin()
            parts = urlsplit(self.path)
            path, query = parts.path, parse_qs(parts.query)
            if path in ('/', '/index.html'):
                return self._page()
            if path.startswith('/static/'):
                return self._static(path[len('/static/'):])
            if path == '/api/stream' and self.command == 'GET':
                self._check_token((query.get('token') or [''])[0])
                return self._stream(query)
            if path.startswith('/api/'):
                with_token = self.headers.get('X-Velto-Token')
                self._check_token(with_token)
                return self._json(200, api.handle(self.server.manager, 'GET', path, None))
            raise ApiError(404, 'not found: %s' % path)
        except ApiError as error:
            self._error(error)
        except Exception as error:  # a fault of ours: say so, keep serving
            self._json(500, {'error': 'internal error: %s' % text(str(error)), 'http_status': 500})

    do_HEAD = do_GET

    def do_POST(self):
        try:
            self._check_origin()
            self._check_token(self.headers.get('X-Velto-Token'))
            body = self._body()
            path = urlsplit(self.path).path
            self._json(200, api.handle(self.server.manager, 'POST', path, body))
        except ApiError as error:
            self._error(error)
        except Exception as error:
            self._json(500, {'error': 'internal error: %s' % text(str(error)), 'http_status': 500})

    def _refuse_method(self):
        self._json(405, {'error': 'method not allowed', 'http_status': 405})

    do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _refuse_method

    # -------------------------------------------------------------- files

    def _page(self):
        with io.open(os.path.join(STATIC, 'index.html'), 'rb') as stream:
            page = stream.read().replace(b'{{token}}', self.server.token.encode('ascii'))
        self._send(200, page, CONTENT_TYPES['.html'], [('Content-Security-Policy', CSP)])

    def _static(self, name):
        # Only the files in static/ by their exact names: no path reaches elsewhere.
        if name not in os.listdir(STATIC) or name == 'index.html':
            raise ApiError(404, 'not found: %s' % name)
        with io.open(os.path.join(STATIC, name), 'rb') as stream:
            body = stream.read()
        kind = CONTENT_TYPES.get(os.path.splitext(name)[1], 'application/octet-stream')
        self._send(200, body, kind)

    # -------------------------------------------------------------- live stream

    def _stream(self, query):
        """Server-Sent Events: a frame per page frame (fps, 1 to 240) with
        the newest sample, a thinned trail, eye images as they come, and
        every STATUS_INTERVAL the figures (rate, data loss, recording)."""
        try:
            fps = min(240.0, max(1.0, float((query.get('fps') or ['60'])[0])))
        except ValueError:
            fps = 60.0
        if not self.server.streams.acquire(False):
            raise ApiError(503, 'too many live pages open (%d); close some tabs' % MAX_STREAMS)
        try:
            self.send_response(200)
            self.send_header('Content-Type', 'text/event-stream')
            self.send_header('Cache-Control', 'no-store')
            self.send_header('X-Content-Type-Options', 'nosniff')
            self.end_headers()
            self._stream_loop(1.0 / fps)
        except (socket.error, IOError, ValueError):
            pass  # the page went away
        finally:
            self.server.streams.release()
            self.close_connection = True

    def _emit(self, data):
        self.wfile.write(b'data: ' + json.dumps(data, allow_nan=False, separators=(',', ':'))
                         .encode('utf-8') + b'\n\n')
        self.wfile.flush()

    def _stream_loop(self, interval):
        manager, stopping = self.server.manager, self.server.stopping
        live, serial, image_serial, seen_images = None, 0, 0, {}
        last_status = last_write = 0.0
        window = None
        while not stopping.is_set() and not manager.closed:
            started = time.time()
            if manager.live is not live:
                live, serial, image_serial, seen_images = manager.live, 0, 0, {}
                window = None
                if live is not None:
                    serial = live.serial  # start from now
                self._emit({'type': 'hello', 'offset_us': manager.clock_offset(),
                            'tracker': text(live.tracker.address) if live else None})
            frame = {'type': 'frame'}
            if live is not None:
                new = live.since(serial)
                if new:
                    serial = new[-1][0]
                    samples = [s for _, s in new]
                    frame['gaze'] = sample_frame(samples[-1])
                    step = max(1, len(samples) // TRAIL_POINTS)
                    frame['trail'] = [trail_point(s) for s in samples[-1::-step][:TRAIL_POINTS]][::-1]
                    frame['n'] = len(samples)
                if live.image_serial != image_serial:
                    image_serial = live.image_serial
                    images = []
                    for camera, (number, stamp, data) in list(live.images.items()):
                        if seen_images.get(camera) != number:
                            seen_images[camera] = number
                            images.append({'camera': camera, 't': stamp,
                                           'src': image_data_url(data)})
                    frame['images'] = images
                if started - last_status >= STATUS_INTERVAL:
                    counters = (started, live.serial, live.missing, live.invalid['left'],
                                live.invalid['right'])
                    if window is not None:
                        frame['figures'] = figures(window, counters, manager.frequency)
                    window = counters
            if started - last_status >= STATUS_INTERVAL:
                last_status = started
                frame['status'] = manager.status()
                frame['offset_us'] = manager.clock_offset()
            if len(frame) > 1 or started - last_write > 2.0:
                frame['now'] = manager.system_now()
                self._emit(frame)
                last_write = started
            stopping.wait(max(0.0, interval - (time.time() - started)))


def figures(before, after, frequency):
    """Rate and data loss between two counter snapshots (time, received,
    missing, left invalid, right invalid)."""
    seconds = after[0] - before[0]
    received = after[1] - before[1]
    missing = after[2] - before[2]
    expected = received + missing
    out = {'rate_hz': round(received / seconds, 1) if seconds > 0 else None,
           'frequency_hz': frequency, 'received': received, 'missing': missing,
           'loss': round(missing / expected, 4) if expected else None}
    for index, eye in ((3, 'left'), (4, 'right')):
        invalid = after[index] - before[index]
        out[eye + '_valid'] = round(1 - invalid / received, 4) if received else None
    return out
