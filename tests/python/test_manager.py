"""The tracker manager's HTTP API (velto.manager) against the simulator:
request checks (token, Host, Origin), paths kept under the save folder,
settings, a calibration, a recording, the live stream, and shutdown."""
from __future__ import absolute_import, division, print_function, unicode_literals

import json
import os
import re
import shutil
import socket
import tempfile
import threading
import time
import unittest

import support  # noqa: F401 (loads the simulator's control interface)
import velto
from velto.manager import Manager, Server

try:
    import http.client as httplib
except ImportError:  # Python 2.7
    import httplib


class ManagerTestCase(unittest.TestCase):
    """A manager and its server on 127.0.0.1, a free port, for each test."""

    def setUp(self):
        support.reset()
        self.root = tempfile.mkdtemp(prefix='velto-manager-')
        self.manager = Manager(self.root)
        self.server = Server(self.manager, '127.0.0.1', 0)
        self.port = self.server.server_address[1]
        self.loop = threading.Thread(target=self.server.serve_forever)
        self.loop.start()

    def tearDown(self):
        self.server.stop()
        self.loop.join(10)
        self.manager.close()
        shutil.rmtree(self.root, ignore_errors=True)

    def request(self, method, path, body=None, token=True, headers=None, raw=None):
        """(status, JSON answer) of one request; the Host header is the
        server's own unless `headers` gives another."""
        connection = httplib.HTTPConnection('127.0.0.1', self.port, timeout=20)
        sent = {'Host': '127.0.0.1:%d' % self.port}
        if token:
            sent['X-Velto-Token'] = self.server.token
        data = raw
        if body is not None:
            data = json.dumps(body).encode('utf-8')
            sent['Content-Type'] = 'application/json'
        sent.update(headers or {})
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in sent.items():
            connection.putheader(name, value)
        connection.putheader('Content-Length', str(len(data or b'')))
        connection.endheaders()
        if data:
            connection.send(data)
        response = connection.getresponse()
        text = response.read().decode('utf-8')
        connection.close()
        try:
            return response.status, json.loads(text)
        except ValueError:
            return response.status, text

    def ok(self, method, path, body=None):
        status, answer = self.request(method, path, body)
        self.assertEqual(status, 200, answer)
        return answer

    def stream_frames(self, seconds, fps=20):
        """The live stream's frames over `seconds` (a page's EventSource)."""
        connection = socket.create_connection(('127.0.0.1', self.port), timeout=5)
        connection.sendall(('GET /api/stream?fps=%d&token=%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n'
                            % (fps, self.server.token, self.port)).encode('ascii'))
        data, end = b'', time.time() + seconds
        while time.time() < end:
            chunk = connection.recv(65536)
            if not chunk:
                break
            data += chunk
        connection.close()  # a page closed mid-stream
        return [json.loads(line[6:]) for line in data.decode('utf-8').split('\n')
                if line.startswith('data: ')]


class RequestChecks(ManagerTestCase):
    def test_token_host_and_origin(self):
        status, page = self.request('GET', '/', token=False)
        self.assertEqual(status, 200)
        self.assertIn('content="%s"' % self.server.token, page)
        self.assertEqual(self.request('GET', '/static/app.js', token=False)[0], 200)
        for path in ('/static/../state.py', '/static/%2e%2e/state.py', '/static/index.html'):
            self.assertEqual(self.request('GET', path, token=False)[0], 404, path)
        # State-changing requests without the token, or with a wrong one.
        self.assertEqual(self.request('POST', '/api/recording/start', {'folder': 'a'},
                                      token=False)[0], 403)
        self.assertEqual(self.request('POST', '/api/recording/start', {'folder': 'a'},
                                      headers={'X-Velto-Token': 'x' * 48})[0], 403)
        self.assertEqual(self.request('GET', '/api/tracker', token=False)[0], 403)
        self.assertEqual(self.stream_status('token=nope'), 403)
        # Another site's page, or a name pointing at us (DNS rebinding).
        for headers in ({'Host': 'evil.example:%d' % self.port},
                        {'Origin': 'http://evil.example'}, {'Origin': 'null'},
                        {'Sec-Fetch-Site': 'cross-site'}):
            status, answer = self.request('POST', '/api/tracker/settings', {'mode': 'Infant'},
                                          headers=headers)
            self.assertEqual(status, 403, (headers, answer))
            self.assertEqual(self.request('GET', '/', headers=headers)[0], 403, headers)
        self.assertEqual(self.ok('GET', '/api/tracker')['mode'], 'Default')  # nothing changed
        self.ok('POST', '/api/tracker/settings', {'mode': 'Infant'})  # same origin works
        status, answer = self.request('POST', '/api/tracker/settings', raw=b'{bad',
                                      headers={'Content-Type': 'application/json'})
        self.assertEqual((status, answer['error']), (400, 'the request body is not valid JSON'))
        self.assertEqual(self.request('POST', '/api/tracker/settings', raw=b'x' * 70000)[0], 413)
        self.assertEqual(self.request('DELETE', '/api/recording')[0], 405)

    def stream_status(self, query):
        connection = httplib.HTTPConnection('127.0.0.1', self.port, timeout=10)
        connection.request('GET', '/api/stream?' + query)
        status = connection.getresponse().status
        connection.close()
        return status

    def test_paths_stay_under_the_save_folder(self):
        outside = tempfile.mkdtemp(prefix='velto-outside-')
        self.addCleanup(shutil.rmtree, outside, True)
        os.symlink(outside, os.path.join(self.root, 'link'))
        for name in ('../escape', '/tmp/escape', 'link/escape', 'a/../../escape', '.', '',
                     '~/escape'):
            status, answer = self.request('POST', '/api/recording/start', {'folder': name})
            self.assertIn(status, (400, 403), (name, answer))
            status, answer = self.request('POST', '/api/calibration/save', {'file': name})
            self.assertIn(status, (400, 403), (name, answer))
        self.assertEqual(os.listdir(outside), [])
        self.assertEqual(os.listdir(self.root), ['link'])


class Settings(ManagerTestCase):
    def test_trackers_and_settings(self):
        listed = self.ok('GET', '/api/trackers')
        self.assertEqual([t['name'] for t in listed['trackers']], ['Velto Lab A', 'Velto Nano'])
        self.assertEqual(self.ok('POST', '/api/tracker/settings', {'frequency': 120})['frequency'],
                         120)
        status, refused = self.request('POST', '/api/tracker/settings', {'frequency': 99})
        self.assertEqual((status, refused['status'], refused['status_name']),
                         (422, 3, 'invalid argument'))
        self.assertIn('offered: 23.976, 30, 60, 120, 250, 600, 1200 Hz', refused['error'])
        status, refused = self.request('POST', '/api/tracker/settings', {'mode': 'Sleepy'})
        self.assertEqual((status, refused['status']), (422, 3))
        changed = self.ok('POST', '/api/tracker/settings', {'mode': 'Infant', 'name': 'Lab B'})
        self.assertEqual((changed['mode'], changed['name']), ('Infant', 'Lab B'))
        chosen = self.ok('POST', '/api/trackers/select', {'address': 'velto-usb://VN2-0038-0921'})
        self.assertEqual((chosen['name'], chosen['frequencies']), ('Velto Nano', [30.0, 60.0]))
        self.assertEqual(self.request('POST', '/api/trackers/select', {'address': 'x'})[0], 404)


class CalibrationAndRecording(ManagerTestCase):
    def test_calibration_save_and_load(self):
        self.ok('POST', '/api/calibration/start')
        self.assertEqual(self.request('POST', '/api/calibration/start')[0], 409)  # another tab
        self.assertEqual(self.request('POST', '/api/recording/start', {'folder': 'r'})[0], 409)
        for x, y in velto.FIVE_POINTS:
            self.ok('POST', '/api/calibration/point', {'x': x, 'y': y})
        self.assertEqual(self.request('POST', '/api/calibration/point', {'x': 2, 'y': 0})[0], 400)
        result = self.ok('POST', '/api/calibration/compute')
        self.assertEqual([p['target'] for p in result['points']], [list(p) for p in velto.FIVE_POINTS])
        self.assertEqual(len(result['samples']), 15)
        self.assertLess(result['left']['accuracy_deg'], 2.0)
        self.assertFalse(self.ok('POST', '/api/calibration/stop')['running'])
        self.assertEqual(self.request('POST', '/api/calibration/point', {'x': 0.5, 'y': 0.5})[0],
                         409)
        saved = self.ok('POST', '/api/calibration/save', {'file': 'p01.calibration'})
        self.assertEqual(saved['path'], os.path.join(os.path.realpath(self.root), 'p01.calibration'))
        self.assertEqual(self.ok('POST', '/api/calibration/load', {'file': 'p01.calibration'}),
                         saved)
        with open(os.path.join(self.root, 'bad.calibration'), 'wb') as stream:
            stream.write(b'VCAL broken')
        status, refused = self.request('POST', '/api/calibration/load', {'file': 'bad.calibration'})
        self.assertEqual((status, refused['status']), (422, 6))
        status, answer = self.request('POST', '/api/validation/start')
        if hasattr(velto.Tracker, 'validate'):
            self.assertEqual(status, 200, answer)
            self.ok('POST', '/api/calibration/stop')
        else:
            self.assertEqual((status, answer['http_status']), (501, 501))
            self.assertFalse(self.manager.status()['calibration']['running'])

    def test_recording_and_live_stream(self):
        self.ok('POST', '/api/tracker/settings', {'frequency': 250})
        started = self.ok('POST', '/api/recording/start', {'folder': 'day1/p01'})
        self.assertTrue(started['running'])
        self.assertEqual(self.request('POST', '/api/recording/start', {'folder': 'x'})[0], 409)
        self.assertEqual(self.request('POST', '/api/tracker/settings', {'frequency': 60})[0], 409)
        frames = self.stream_frames(1.5, fps=10)
        gaze = [f for f in frames if 'gaze' in f]
        # Thinned to the page's 10 frames a second, each carrying the samples' count.
        self.assertTrue(8 <= len(gaze) <= 17, len(gaze))
        self.assertGreater(sum(f['n'] for f in gaze), 250)
        self.assertTrue(all(len(f['trail']) <= 12 for f in gaze))
        self.assertTrue(any(f.get('images') for f in frames))
        self.assertEqual(sorted(gaze[-1]['gaze']['left']), ['box', 'point', 'pupil', 'valid'])
        status, marker = self.request('POST', '/api/recording/marker', {'label': 'stimulus on'})
        self.assertEqual(status, 200 if hasattr(velto.Recording, 'mark') else 501, marker)
        stopped = self.ok('POST', '/api/recording/stop')
        self.assertFalse(stopped['running'])
        self.assertTrue(stopped['complete'])
        saved = velto.load_recording(os.path.join(self.root, 'day1', 'p01'))
        self.assertTrue(saved.complete)
        self.assertEqual(stopped['intact'], saved.intact)
        self.assertEqual(len(saved.gaze), stopped['gaze_rows'])
        self.assertGreater(len(saved.gaze), 250)
        self.assertEqual(saved.metadata['gaze_output_frequency_hz'], 250)
        # The same folder again: the library's refusal comes back as it is.
        status, refused = self.request('POST', '/api/recording/start', {'folder': 'day1/p01'})
        self.assertEqual(status, 422)
        self.assertIn('holds a recording already', refused['error'])

    def test_a_calibration_left_behind_is_ended(self):
        # A tab closed half-way through a calibration must not keep the tracker in calibration mode.
        from velto.manager import state
        self.addCleanup(setattr, state, 'CALIBRATION_IDLE_LIMIT', state.CALIBRATION_IDLE_LIMIT)
        state.CALIBRATION_IDLE_LIMIT = 0.5
        self.ok('POST', '/api/calibration/start')
        self.ok('POST', '/api/calibration/point', {'x': 0.5, 'y': 0.5})
        deadline = time.time() + 10
        while self.manager.status()['calibration']['running'] and time.time() < deadline:
            time.sleep(0.2)
        self.assertFalse(self.manager.status()['calibration']['running'])
        with self.assertRaises(velto.VeltoError) as caught:  # the tracker left calibration mode
            velto.call('screen_based_calibration_collect_data', self.manager.tracker.handle, 0.5, 0.5)
        self.assertEqual(caught.exception.status, 4)
        self.ok('POST', '/api/calibration/start')
        self.ok('POST', '/api/calibration/stop')

    def test_closing_ends_the_recording_cleanly(self):
        self.ok('POST', '/api/recording/start', {'folder': 'r1'})
        time.sleep(0.3)
        self.server.stop()
        self.manager.close()  # what Ctrl-C does
        saved = velto.load_recording(os.path.join(self.root, 'r1'))
        self.assertTrue(saved.complete)
        self.assertEqual(saved.end['reason'], 'stopped')
        self.assertTrue(saved.metadata['complete'])


class CommandLine(unittest.TestCase):
    def test_ctrl_c_ends_the_recording(self):
        # The server as researchers start it; SIGINT after a recording started.
        import signal
        import subprocess
        import sys
        root = tempfile.mkdtemp(prefix='velto-manager-cli-')
        self.addCleanup(shutil.rmtree, root, True)
        proc = subprocess.Popen([sys.executable, '-u', '-m', 'velto.manager', '--port', '0',
                                 '--folder', root], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            line = proc.stdout.readline().decode('utf-8')
            match = re.search(r'http://127\.0\.0\.1:(\d+)/', line)
            self.assertTrue(match, line)
            port = int(match.group(1))
            connection = httplib.HTTPConnection('127.0.0.1', port, timeout=10)
            connection.request('GET', '/')
            token = re.search(r'content="([0-9a-f]{48})"',
                              connection.getresponse().read().decode('utf-8')).group(1)
            connection.request('POST', '/api/recording/start', json.dumps({'folder': 'cli'}),
                               {'X-Velto-Token': token, 'Content-Type': 'application/json'})
            self.assertEqual(connection.getresponse().status, 200)
            connection.close()
            time.sleep(0.5)
            proc.send_signal(signal.SIGINT)
            code, out, err = support.finish(proc, 30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self.assertEqual(code, 0, err)
        saved = velto.load_recording(os.path.join(root, 'cli'))
        self.assertTrue(saved.complete)
        self.assertGreater(len(saved.gaze), 10)


if __name__ == '__main__':
    unittest.main()
