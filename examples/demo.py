"""The velto demo: one run through what the package offers.

Against the simulated eye trackers (or a real device library) it
 1. finds every eye tracker and prints its description,
 2. sets the gaze output frequency (the offered one nearest --frequency),
 3. calibrates with five points (three collections at each) and prints
    accuracy and precision (degrees of visual angle) per point and eye,
 4. saves the calibration to a file and applies it again from that file,
 5. records gaze data and every event stream into --out for --seconds
    (halfway it reports a stream error of its own, which comes back on the
    stream errors stream); Ctrl-C ends the recording early and keeps it,
 6. reads the recording back, detects fixations and draws the scanpath,
 7. prints a summary.

Files in --out: gaze.csv, events.jsonl, metadata.json, eye_images/*.gif,
scanpath.svg, calibration.bin.

    scripts/demo.sh [--seconds 3] [--out demo-output] [--frequency 120]
    scripts/demo.sh --help
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import os
import sys

try:
    import velto
    from velto import cli
except ImportError as _error:
    sys.exit('cannot import velto (%s); run the demo with scripts/demo.sh' % _error)

STREAM_LABELS = (('log', 'log'), ('external_signal', 'external signal'),
                 ('time_sync', 'time synchronization'), ('stream_errors', 'stream errors'),
                 ('notifications', 'notifications'), ('eye_images', 'eye images'))


def parse_args(argv):
    parser = cli.ArgumentParser(description='velto demo: discovery, calibration, recording and '
                                'a scanpath, against the simulated eye trackers.')
    parser.add_argument('--seconds', type=cli.seconds, default=3.0,
                        help='how long to record (default 3; Ctrl-C stops early)')
    parser.add_argument('--out', type=cli.output_folder, default='demo-output',
                        help='folder for the output files, made if missing (default ./demo-output)')
    parser.add_argument('--frequency', type=cli.frequency, default=120.0,
                        help='gaze output frequency in Hz; the nearest one the tracker offers '
                        'is used (default 120)')
    parser.add_argument('--timeout', type=cli.positive('the timeout'), default=10.0,
                        help='seconds to wait for any one result (default 10)')
    parser.add_argument('--dispersion', type=cli.positive('the dispersion'), default=30.0,
                        help='fixation dispersion threshold in mm (default 30)')
    parser.add_argument('--min-fixation', type=cli.positive('the minimum fixation'), default=100.0,
                        help='minimum fixation duration in ms (default 100)')
    return parser.parse_args(argv)


def describe(tracker):
    print('  %s  (%s, serial %s, firmware %s)' % (tracker.name, tracker.model,
                                                  tracker.serial_number, tracker.firmware_version))
    print('      address %s, handle %d' % (tracker.address, tracker.handle))
    print('      capabilities: %s' % (', '.join(tracker.capabilities) or 'none'))


def choose_tracker(timeout):
    """The first tracker with eye images (else the first); the others are closed."""
    trackers = velto.find_trackers(timeout)
    print('Found %d eye tracker(s):' % len(trackers))
    for tracker in trackers:
        describe(tracker)
    if not trackers:
        raise velto.VeltoError('find_all_eyetrackers', None, name='no eye tracker found')
    chosen = next((t for t in trackers if 'eye_images' in t.capabilities), trackers[0])
    for tracker in trackers:
        if tracker is not chosen:
            tracker.close()
    return chosen


def record(tracker, out, seconds):
    """Records for `seconds`; returns (recording, True if it ran the full time)."""
    print('Recording gaze data and events for %g s into %s (Ctrl-C stops early)...'
          % (seconds, out))
    with tracker.record(out, overwrite=True) as recording:
        full = recording.wait(seconds / 2)
        if full:
            tracker.report_stream_error('demo: halfway through the recording')
            full = recording.wait(seconds / 2)
    if not full:
        print('  stopped early by Ctrl-C; everything recorded so far is kept')
    return recording, full


def draw_scanpath(saved, tracker_name, frequency, args):
    area = saved.display_area
    gap = 0.25  # the longest pause (a blink) a fixation may span, in seconds
    track = velto.gaze_track(saved.gaze, area.width, area.height)
    fixations = velto.detect_fixations(track, args.dispersion, args.min_fixation / 1000.0, gap)
    notes = ['%s, %g Hz, %d samples over %.1f s; %d fixations (I-DT: %g mm, %g ms)'
             % (tracker_name, frequency, len(saved.gaze), track[-1][0] if track else 0.0,
                len(fixations), args.dispersion, args.min_fixation)]
    path = os.path.join(args.out, 'scanpath.svg')
    velto.write_svg(path, track, fixations, area.width, area.height,
                    title='velto demo: scanpath', notes=notes, max_gap=gap)
    return path, fixations


def print_summary(saved, full, files):
    counts = saved.event_counts()
    gaze_bytes = os.path.getsize(os.path.join(saved.folder, 'gaze.csv'))
    print()
    print('Summary%s' % ('' if full else ' (recording stopped early by Ctrl-C)'))
    print('  gaze samples recorded   %d' % len(saved.gaze))
    print('  effective rate          %.1f Hz' % velto.effective_rate(saved.gaze))
    print('  valid gaze points       left %.1f %%, right %.1f %%'
          % (100 * velto.valid_share(saved.gaze, 'left'), 100 * velto.valid_share(saved.gaze, 'right')))
    print('  gaze.csv                %d bytes, %.1f bytes a row'
          % (gaze_bytes, gaze_bytes / max(1, len(saved.gaze) + 1)))
    print('  clock                   %s' % (saved.clock or 'no time synchronization received',))
    print('  events per stream')
    for stream, label in STREAM_LABELS:
        note = '' if stream in saved.metadata['streams'] else '  (not offered by the tracker)'
        print('    %-22s %d%s' % (label, counts.get(stream, 0), note))
    print('  recording ended         %s' % (saved.end['reason'] if saved.end else 'without an end marker'))
    loss = saved.data_loss or {}
    print('  recording state         %s' % (
        'intact: complete, no gaps, no lost connection' if saved.intact else
        'not checked (an older recording)' if saved.intact is None else
        'NOT intact: ' + '; '.join(saved.damage)))
    if loss:
        print('  gaps in the gaze data   %d (%d samples missing, longest %.0f ms)'
              % (loss.get('gaps', 0), loss.get('missing_samples', 0),
                 loss.get('longest_gap_us', 0) / 1e3))
    print('  files')
    for what, path in files:
        print('    %-38s %s' % (what, path))


def run(args):
    versions = velto.versions(args.timeout)
    print('velto %s, velto_internal %s, device library %s, engine %s'
          % (versions['velto'], versions['velto_internal'], versions['device_library'],
             versions['engine']))
    with choose_tracker(args.timeout) as tracker:
        tracker.timeout = args.timeout
        print('Using %s' % tracker.name)
        frequency = tracker.set_frequency(args.frequency, nearest=True)
        print('Gaze output frequency: offered %s Hz; now %g Hz'
              % (', '.join('%g' % f for f in tracker.frequencies), tracker.frequency))

        print('Calibrating (%d points)...' % len(velto.FIVE_POINTS))
        with tracker.calibrate() as calibration:
            for x, y in velto.FIVE_POINTS:
                # A real program shows a target at (x, y) and waits for the eyes here.
                calibration.collect(x, y, times=3)
            result = calibration.compute()
        print(result)

        calibration_file = os.path.join(args.out, 'calibration.bin')
        if not os.path.isdir(args.out):
            os.mkdir(args.out)
        size = tracker.save_calibration(calibration_file)
        tracker.load_calibration(calibration_file)
        print('Calibration saved (%d bytes) to %s and applied again from that file'
              % (size, calibration_file))

        recording, full = record(tracker, args.out, args.seconds)
        name = tracker.name

    saved = velto.load_recording(args.out)
    svg, fixations = draw_scanpath(saved, name, frequency, args)
    images = saved.event_counts().get('eye_images', 0)
    files = [('gaze samples (CSV)', os.path.join(args.out, 'gaze.csv')),
             ('events (JSON lines)', os.path.join(args.out, 'events.jsonl')),
             ('metadata (JSON)', os.path.join(args.out, 'metadata.json')),
             ('scanpath (SVG, %d fixations)' % len(fixations), svg),
             ('calibration data', calibration_file)]
    if images:
        files.insert(3, ('eye images (%d GIF files)' % images, os.path.join(args.out, 'eye_images')))
    print_summary(saved, full, files)


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    return cli.run(run, args)


if __name__ == '__main__':
    sys.exit(main())
