"""The velto_internal demo: one run through everything the module offers.

Against the simulated eye trackers (or a real device library) it
 1. finds every eye tracker and prints its description,
 2. subscribes to the event streams (log, external signal, time
    synchronization, stream errors, notifications, eye images),
 3. sets the gaze output frequency,
 4. runs a five-point screen-based calibration and prints the result per point,
 5. saves the calibration to a file and applies it again from that file,
 6. records gaze data for a few seconds,
 7. unsubscribes everything, cleans up, and writes into one folder:
      gaze.csv        one row per gaze sample, the 18 fields flattened
      eye_image.gif   one eye image as the tracker sent it
      scanpath.svg    fixations and saccades over the display area
      events.jsonl    every event received, one JSON object per line
      calibration.bin the saved calibration data
 8. prints a summary.

    scripts/demo.sh [--seconds 3] [--out demo-output] [--frequency 120]
    PYTHONPATH=build/lib python2.7 examples/demo.py --help
"""
from __future__ import division, print_function

import argparse
import json
import os
import struct
import sys
import threading
import time

import gaze_tools
import velto_sync
from velto_sync import STREAM_NAMES, VeltoError, call, check

CALIBRATION_POINTS = ((0.5, 0.5), (0.1, 0.1), (0.1, 0.9), (0.9, 0.1), (0.9, 0.9))

# Event streams in the order they are subscribed. The log stream is
# library-wide; any integer serves as its "device", and the same one must be
# passed when unsubscribing.
EVENT_STREAMS = (velto_sync.STREAM_LOG, velto_sync.STREAM_EXTERNAL_SIGNAL,
                 velto_sync.STREAM_TIME_SYNCHRONIZATION, velto_sync.STREAM_STREAM_ERRORS,
                 velto_sync.STREAM_NOTIFICATIONS, velto_sync.STREAM_EYE_IMAGES)
LOG_DEVICE = 0


class DemoError(Exception):
    """A step of the demo that cannot go on."""


def parse_args(argv):
    parser = argparse.ArgumentParser(description='velto_internal demo: discovery, calibration, '
                                     'gaze recording and event streams.')
    parser.add_argument('--seconds', type=float, default=3.0,
                        help='how long to record gaze data (default 3)')
    parser.add_argument('--out', default='demo-output',
                        help='folder for the output files (default ./demo-output)')
    parser.add_argument('--frequency', type=float, default=120.0,
                        help='gaze output frequency in Hz; the nearest one the tracker offers '
                        'is used (default 120)')
    parser.add_argument('--timeout', type=float, default=10.0,
                        help='seconds to wait for any one result (default 10)')
    parser.add_argument('--dispersion', type=float, default=30.0,
                        help='fixation dispersion threshold in mm (default 30)')
    parser.add_argument('--min-fixation', type=float, default=100.0,
                        help='minimum fixation duration in ms (default 100)')
    args = parser.parse_args(argv)
    if not args.seconds > 0:
        parser.error('--seconds must be positive')
    if not args.timeout > 0:
        parser.error('--timeout must be positive')
    return args


class Recorder(object):
    """Collects what the streams deliver. Its methods run on the device
    library's threads; they only append and count, which is safe under the
    interpreter lock, and keep the library's thread free quickly."""

    def __init__(self):
        self.gaze = []
        self.counts = dict((stream, 0) for stream in STREAM_NAMES)
        self.events = []  # (stream type, seconds since start, dict)
        self.eye_image = None
        self.got_eye_image = threading.Event()
        self.start = time.time()
        self.lock = threading.Lock()

    def on_gaze(self, sample):
        self.gaze.append(sample)
        self.counts[velto_sync.STREAM_GAZE] += 1

    def listener(self, stream_type):
        def on_event(event):
            with self.lock:
                self.counts[stream_type] += 1
                self.events.append((stream_type, time.time() - self.start, event))
                if stream_type == velto_sync.STREAM_EYE_IMAGES and self.eye_image is None:
                    self.eye_image = event
                    self.got_eye_image.set()
        return on_event


def describe(tracker):
    print('  %s  (%s, serial %s, firmware %s)' % (
        tracker['device_name'], tracker['model'], tracker['serial_number'],
        tracker['firmware_version']))
    print('      address %s, handle %d' % (tracker['address'], tracker['core_eyetracker']))
    print('      capabilities: %s' % (', '.join(tracker['device_capabilities']) or 'none'))


def choose_frequency(handle, wanted, timeout):
    """Sets the offered frequency nearest to `wanted`; returns (set, read back)."""
    offered = check('get_all_gaze_output_frequencies', (handle,), timeout)
    if not offered:
        raise DemoError('the tracker offers no gaze output frequency')
    chosen = min(offered, key=lambda f: abs(f - wanted))
    # A float is required: an int frequency is refused with status 10.
    check('set_gaze_output_frequency', (handle, float(chosen)), timeout)
    current = check('get_gaze_output_frequency', (handle,), timeout)
    print('Gaze output frequency: offered %s Hz; set %g Hz, now %g Hz'
          % (', '.join('%g' % f for f in offered), chosen, current))
    return chosen, current


def calibrate(handle, area, timeout):
    """The five-point screen-based calibration; returns the calibration points."""
    print('Calibrating (%d points)...' % len(CALIBRATION_POINTS))
    check('screen_based_calibration_enter_calibration_mode', (handle,), timeout)
    try:
        for x, y in CALIBRATION_POINTS:
            # A real application shows a target at (x, y) and lets the user look
            # at it before collecting. A collection can fail when the eyes are
            # not found; it is tried once more.
            status = call('screen_based_calibration_collect_data', (handle, x, y), timeout)[0]
            if status != 0:
                status = call('screen_based_calibration_collect_data', (handle, x, y), timeout)[0]
            if status != 0:
                print('  collecting at (%.1f, %.1f) failed: %s' % (x, y, velto_sync.status_text(status)))
        check('screen_based_calibration_compute_and_apply', (handle,), timeout)
        points = check('screen_based_calibration_get_calibration_points', (handle,), timeout)
    finally:
        # Leave calibration mode whatever happened above, without hiding the
        # original error should leaving fail too.
        try:
            status = call('screen_based_calibration_leave_calibration_mode', (handle,),
                          timeout)[0]
            if status != 0:
                print('  leaving calibration mode: %s' % velto_sync.status_text(status))
        except VeltoError as error:
            print('  %s' % error)
    print_calibration(points, area)
    return points


def print_calibration(points, area):
    """One line per calibration sample: target, each eye's sample and its offset."""
    width, height = area['width'], area['height']
    print('  %-12s %-34s %-34s' % ('target', 'left eye', 'right eye'))

    def eye(point, side):
        if point[side + '_validity'] != 1:
            return 'not found (validity %d)' % point[side + '_validity']
        sx, sy = point[side + '_sample_position']
        tx, ty = point['position']
        offset = ((sx - tx) * width) ** 2 + ((sy - ty) * height) ** 2
        return '(%.3f, %.3f) off by %4.1f mm' % (sx, sy, offset ** 0.5)

    for point in points:
        print('  (%.2f, %.2f) %-34s %-34s' % (point['position'] + (eye(point, 'left'),
                                                                  eye(point, 'right'))))
    if not points:
        print('  (no calibration points)')


def save_and_restore(handle, path, timeout):
    """Saves the tracker's calibration to `path` and applies it again from there."""
    data = check('calibration_retrieve', (handle,), timeout)
    if data is None:
        raise DemoError('the tracker holds no calibration data after calibrating')
    with open(path, 'wb') as stream:
        stream.write(data)
    with open(path, 'rb') as stream:
        restored = stream.read()
    check('calibration_apply', (handle, restored), timeout)
    print('Calibration saved (%d bytes) to %s and applied again from that file'
          % (len(data), path))


def subscribe_events(session, handle, tracker, recorder):
    """Subscribes every event stream the tracker supports; returns those subscribed."""
    subscribed = []
    for stream in EVENT_STREAMS:
        needed = velto_sync.STREAM_CAPABILITY.get(stream)
        if needed and needed not in tracker['device_capabilities']:
            print('  %-22s skipped: the tracker lacks %s' % (STREAM_NAMES[stream], needed))
            continue
        device = LOG_DEVICE if stream == velto_sync.STREAM_LOG else handle
        status = session.subscribe(stream, device, recorder.listener(stream))
        if status == 0:
            subscribed.append(stream)
        else:
            print('  %-22s not subscribed: %s' % (STREAM_NAMES[stream],
                                                  velto_sync.status_text(status)))
    print('Subscribed to: %s' % ', '.join(STREAM_NAMES[s] for s in subscribed))
    return subscribed


def record_gaze(session, handle, recorder, seconds, timeout):
    """Records gaze data for `seconds`; halfway it reports a stream error of
    its own, which comes back on the stream error stream."""
    status = session.subscribe(velto_sync.STREAM_GAZE, handle, recorder.on_gaze)
    if status != 0:
        raise DemoError('subscribing to gaze data failed: %s' % velto_sync.status_text(status))
    print('Recording gaze data for %g s...' % seconds)
    started = time.time()
    marked = False
    while True:
        elapsed = time.time() - started
        if elapsed >= seconds:
            break
        if not marked and elapsed >= seconds / 2:
            status = call('report_stream_error', (handle, 'demo: halfway through the recording'),
                          timeout)[0]
            if status != 0:
                print('  report_stream_error: %s' % velto_sync.status_text(status))
            marked = True
        time.sleep(min(0.05, seconds - elapsed))
    status = session.unsubscribe(velto_sync.STREAM_GAZE, handle)
    if status != 0:
        print('  unsubscribing from gaze data: %s' % velto_sync.status_text(status))
    if not recorder.gaze:
        raise DemoError('no gaze data arrived within %g s' % seconds)


def gif_size(data):
    """(width, height) from a GIF's logical screen descriptor, or None."""
    if len(data) < 10 or data[:4] != b'GIF8':
        return None
    return struct.unpack('<HH', data[6:10])


def _jsonable(value):
    if isinstance(value, bytes):
        return value.decode('utf-8', 'replace')
    if isinstance(value, tuple):
        return [_jsonable(v) for v in value]
    if isinstance(value, dict):
        return dict((k, _jsonable(v)) for k, v in value.items())
    return value


def write_outputs(out, recorder, area, tracker, frequency, args):
    """Writes gaze.csv, eye_image.gif, scanpath.svg and events.jsonl; returns
    the list of (description, path) written."""
    files = []
    samples = recorder.gaze
    path = os.path.join(out, 'gaze.csv')
    gaze_tools.write_csv(path, samples)
    files.append(('gaze samples (CSV)', path))

    if recorder.eye_image is not None:
        path = os.path.join(out, 'eye_image.gif')
        with open(path, 'wb') as stream:
            stream.write(recorder.eye_image['image_data'])
        size = gif_size(recorder.eye_image['image_data'])
        what = 'eye image (%dx%d GIF, camera %d)' % (size + (recorder.eye_image['camera_id'],)) \
            if size else 'eye image (not a GIF!)'
        files.append((what, path))

    width, height = area['width'], area['height']
    gap = 0.25  # the longest pause (a blink) a fixation may span, in seconds
    track = gaze_tools.gaze_track(samples, width, height)
    fixations = gaze_tools.detect_fixations(track, args.dispersion, args.min_fixation / 1000.0,
                                            gap)
    notes = ['%s, %g Hz, %d samples over %.1f s, %d fixations (I-DT: %g mm, %g ms)'
             % (tracker['device_name'], frequency, len(samples),
                track[-1][0] if track else 0.0, len(fixations), args.dispersion,
                args.min_fixation)]
    path = os.path.join(out, 'scanpath.svg')
    gaze_tools.write_svg(path, track, fixations, width, height,
                         title='velto_internal demo: scanpath', notes=notes, max_gap=gap)
    files.append(('scanpath (SVG, %d fixations)' % len(fixations), path))

    path = os.path.join(out, 'events.jsonl')
    with open(path, 'wb') as stream:
        with recorder.lock:
            events = list(recorder.events)
        for stream_type, at, event in events:
            line = {'stream': STREAM_NAMES[stream_type], 'received_s': round(at, 4),
                    'event': _jsonable(velto_sync.printable(event))}
            stream.write(gaze_tools.utf8(json.dumps(line, sort_keys=True) + '\n'))
    files.append(('events (JSON lines)', path))
    return files


def print_summary(recorder, subscribed, files):
    samples = recorder.gaze
    print()
    print('Summary')
    print('  gaze samples received   %d' % len(samples))
    print('  effective rate          %.1f Hz' % gaze_tools.effective_rate(samples))
    print('  valid gaze points       left %.1f %%, right %.1f %%'
          % (100 * gaze_tools.valid_share(samples, 'left'),
             100 * gaze_tools.valid_share(samples, 'right')))
    print('  events per stream')
    for stream in (velto_sync.STREAM_LOG,) + tuple(range(2, 7)):
        note = '' if stream in subscribed else '  (not subscribed)'
        print('    %-22s %d%s' % (STREAM_NAMES[stream], recorder.counts[stream], note))
    print('  files')
    for what, path in files:
        print('    %-40s %s' % (what, path))


def run(args):
    out = os.path.abspath(args.out)
    if not os.path.isdir(out):
        os.makedirs(out)
    timeout = args.timeout
    recorder = Recorder()
    # terminate=True: after unsubscribing, the device library is terminated
    # (its threads end) before cleanup().
    with velto_sync.Session(timeout, terminate=True) as session:
        engine = velto_sync.velto_internal.get_kelmo_version()  # (0, text) or (status,)
        print('velto_internal %s, engine %s, SDK %s' % (
            velto_sync.velto_internal.__version__,
            engine[1] if engine[0] == 0 else 'unknown (status %d)' % engine[0],
            check('get_sdk_version', (), timeout)))

        trackers = velto_sync.find_trackers(timeout)
        print('Found %d eye tracker(s):' % len(trackers))
        for tracker in trackers:
            describe(tracker)
        tracker = velto_sync.pick_tracker(trackers, 'capability_has_eye_images')
        if tracker is None:
            raise DemoError('no eye tracker found')
        handle = tracker['core_eyetracker']
        print('Using %s' % tracker['device_name'])
        area = check('get_display_area', (handle,), timeout)

        subscribed = subscribe_events(session, handle, tracker, recorder)
        frequency = choose_frequency(handle, args.frequency, timeout)[1]
        calibrate(handle, area, timeout)
        save_and_restore(handle, os.path.join(out, 'calibration.bin'), timeout)
        record_gaze(session, handle, recorder, args.seconds, timeout)

        if velto_sync.STREAM_EYE_IMAGES in subscribed and not recorder.got_eye_image.is_set():
            print('Waiting for an eye image...')
            if not recorder.got_eye_image.wait(timeout):
                print('  no eye image arrived within %g s' % timeout)
        # Leaving the block unsubscribes every stream, terminates the device
        # library and calls cleanup().

    files = write_outputs(out, recorder, area, tracker, frequency, args)
    files.append(('calibration data', os.path.join(out, 'calibration.bin')))
    print_summary(recorder, subscribed, files)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    try:
        run(args)
    except (VeltoError, DemoError, EnvironmentError) as error:
        print('demo failed: %s' % error, file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print('interrupted', file=sys.stderr)
        return 130
    return 0


if __name__ == '__main__':
    sys.exit(main())
