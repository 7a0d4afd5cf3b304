"""The velto demo: one run through what the package offers.

Against the simulated eye trackers (or a real device library) it
 1. finds every eye tracker and prints its description,
 2. sets the gaze output frequency (the offered one nearest --frequency),
 3. calibrates with five points (three collections at each) and prints
    accuracy and precision (degrees of visual angle) per point and eye,
 4. validates the calibration at the same five points and prints the same
    table (the simulated gaze wanders over the screen, so its offsets are
    large: it does not look at the targets),
 5. saves the calibration to a file and applies it again from that file,
 6. records gaze data and every event stream into --out for --seconds,
    with markers of its own phases ("calibration" and "validation" at the
    times they began, "recording start", a "tick" a second, "stream error
    reported" halfway, when it reports a stream error of its own, which
    comes back on the stream errors stream); Ctrl-C ends the recording
    early and keeps it,
 7. reads the recording back, detects fixations and draws the scanpath,
    prints its data quality report and a summary,
 8. exports the recording to a BIDS dataset in --out/bids/.

Files in --out: gaze.csv, events.jsonl, metadata.json, eye_images/*.gif,
scanpath.svg, calibration.bin, bids/.

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
    parser.add_argument('--screen-resolution', type=cli.positive('the screen resolution'), nargs=2,
                        default=(1920, 1080), metavar=('WIDTH', 'HEIGHT'),
                        help='the screen in pixels, for the BIDS export (default 1920 1080)')
    parser.add_argument('--screen-distance', type=cli.positive('the screen distance'), default=0.65,
                        metavar='METRES',
                        help='eye to screen in metres, for the BIDS export (default 0.65)')
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


def record(tracker, out, seconds, phases):
    """Records for `seconds`, marking `phases` ((label, system time, fields)
    measured earlier) and its own; returns (recording, True if it ran the
    full time)."""
    print('Recording gaze data and events for %g s into %s (Ctrl-C stops early)...'
          % (seconds, out))
    halfway = seconds / 2
    steps = sorted([(float(n), 'tick') for n in range(1, int(seconds) + 1) if n < seconds] +
                   [(halfway, 'halfway')])
    with tracker.record(out, overwrite=True) as recording:
        for label, system_time_us, fields in phases:
            recording.mark(label, system_time_us=system_time_us, **fields)
        recording.mark('recording start', seconds=seconds)
        full, done = True, 0.0
        for at, what in steps + [(seconds, 'end')]:
            full = recording.wait(at - done)
            done = at
            if not full:
                break
            if what == 'tick':
                recording.mark('tick', second=int(at))
            elif what == 'halfway':
                tracker.report_stream_error('demo: halfway through the recording')
                recording.mark('stream error reported')
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
    print('  markers                 %d (%s)' % (len(saved.markers), ', '.join(
        sorted(set(m['label'] for m in saved.markers)))))
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
        began = velto.system_time()
        with tracker.calibrate() as calibration:
            for x, y in velto.FIVE_POINTS:
                # A real program shows a target at (x, y) and waits for the eyes here.
                calibration.collect(x, y, times=3)
            result = calibration.compute()
        print(result)
        phases = [('calibration', began, {'points': len(velto.FIVE_POINTS)})]

        print('Validating (%d points, each: %g s to settle, then %g s of gaze)...'
              % (len(velto.FIVE_POINTS), velto.validation.DEFAULT_SETTLE_S,
                 velto.validation.DEFAULT_WINDOW_S))
        began = velto.system_time()
        with tracker.validate() as validation:
            for x, y in velto.FIVE_POINTS:
                validation.collect(x, y)  # shown a target first in a real program
            checked = validation.result()
        print(checked)
        print('  (the simulated gaze does not look at the targets: large offsets are expected)')
        phases.append(('validation', began, {'points': len(velto.FIVE_POINTS)}))

        calibration_file = os.path.join(args.out, 'calibration.bin')
        if not os.path.isdir(args.out):
            os.mkdir(args.out)
        size = tracker.save_calibration(calibration_file)
        tracker.load_calibration(calibration_file)
        print('Calibration saved (%d bytes) to %s and applied again from that file'
              % (size, calibration_file))

        recording, full = record(tracker, args.out, args.seconds, phases)
        name = tracker.name

    saved = velto.load_recording(args.out)
    svg, fixations = draw_scanpath(saved, name, frequency, args)
    print()
    print(velto.quality.format_report(saved.quality()).rstrip('\n'))
    bids_root = os.path.join(args.out, 'bids')
    exported = velto.export_bids(args.out, bids_root, subject='01', task='demo',
                                 screen_resolution=tuple(int(v) for v in args.screen_resolution),
                                 screen_distance_m=args.screen_distance, overwrite=True)
    images = saved.event_counts().get('eye_images', 0)
    files = [('gaze samples (CSV)', os.path.join(args.out, 'gaze.csv')),
             ('events (JSON lines)', os.path.join(args.out, 'events.jsonl')),
             ('metadata (JSON)', os.path.join(args.out, 'metadata.json')),
             ('scanpath (SVG, %d fixations)' % len(fixations), svg),
             ('calibration data', calibration_file)]
    if images:
        files.insert(3, ('eye images (%d GIF files)' % images, os.path.join(args.out, 'eye_images')))
    files.append(('BIDS dataset (%d files)' % len(exported.files), bids_root))
    print_summary(saved, full, files)
    print_tree(bids_root, exported.files)


def print_tree(root, paths):
    """The files an export wrote, as a tree under `root`."""
    print('  BIDS export')
    print('    %s/' % root)
    shown = set()
    for path in sorted(os.path.relpath(p, root) for p in paths):
        parts = path.split(os.sep)
        for depth in range(len(parts)):
            key = tuple(parts[:depth + 1])
            if key not in shown:
                shown.add(key)
                last = depth == len(parts) - 1
                print('    %s%s%s' % ('    ' * (depth + 1), parts[depth], '' if last else '/'))


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    return cli.run(run, args)


if __name__ == '__main__':
    sys.exit(main())
