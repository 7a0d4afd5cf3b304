"""python -m velto quality FOLDER [--json]; python -m velto bids RECORDING ROOT ...

Exit status: 0 done; 1 a folder or file that cannot be read or written; 2 a
refused option or missing information (one line on stderr); 130 Ctrl-C.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import argparse
import json
import os
import sys

from . import cli

PROG = 'python -m velto'


def _folder(text):
    if not os.path.isdir(text):
        raise argparse.ArgumentTypeError('%s is not a folder' % os.path.abspath(text))
    return os.path.abspath(text)


def _resolution(text):
    value = cli.number(text, 'a pixel count')
    if value != int(value) or value <= 0:
        raise argparse.ArgumentTypeError('a pixel count must be a whole number above zero, '
                                             'not "%s"' % text)
    return int(value)


def parser():
    top = cli.ArgumentParser(prog=PROG, description='Data quality and BIDS export of recordings.')
    commands = top.add_subparsers(dest='command', metavar='COMMAND')
    quality = commands.add_parser('quality', help='data quality of a recording folder',
                                  description='Data quality of a recording folder (docs/python-api.md, '
                                              '"Data quality").')
    quality.add_argument('folder', type=_folder, help='the recording folder')
    quality.add_argument('--json', action='store_true', help='print JSON instead of a table')
    quality.add_argument('--viewing-distance-mm', type=cli.positive('the viewing distance'),
                         help='eye to display distance for precision in degrees when the rows '
                              'hold no gaze origin (default: the track box centre)')
    bids = commands.add_parser('bids', help='export a recording to a BIDS dataset',
                               description='Export a recording as BIDS eye-tracking data '
                                           '(docs/python-api.md, "BIDS export").')
    bids.add_argument('recording', type=_folder, help='the recording folder')
    bids.add_argument('bids_root', help='the BIDS dataset folder (made if missing)')
    bids.add_argument('--subject', required=True)
    bids.add_argument('--task', required=True)
    bids.add_argument('--session')
    bids.add_argument('--run')
    bids.add_argument('--datatype', default='beh')
    bids.add_argument('--screen-resolution', nargs=2, type=_resolution, metavar=('WIDTH', 'HEIGHT'),
                      help='the screen\'s resolution in pixels')
    bids.add_argument('--screen-distance', type=cli.positive('the screen distance'), metavar='METRES',
                      help='distance from the eyes to the screen in metres')
    bids.add_argument('--overwrite', action='store_true', help='replace an earlier export')
    for sub in (quality, bids):
        sub.error = lambda message, sub=sub: sub.exit(2, '%s: error: %s\n' % (sub.prog, message))
    return top


def _quality(args):
    from .quality import format_report, recording_quality
    report = recording_quality(args.folder, viewing_distance_mm=args.viewing_distance_mm)
    if args.json:
        sys.stdout.write(json.dumps(report, indent=2, sort_keys=True, allow_nan=False) + '\n')
    else:
        sys.stdout.write(format_report(report))
    return 0


def _bids(args):
    from .bids import MissingInformation, export_bids
    try:
        result = export_bids(args.recording, args.bids_root, args.subject, args.task,
                             session=args.session, run=args.run, datatype=args.datatype,
                             screen_resolution=args.screen_resolution,
                             screen_distance_m=args.screen_distance, overwrite=args.overwrite)
    except MissingInformation as error:
        sys.stderr.write('%s bids: error: %s\n' % (PROG, error.for_command_line()))
        return 2
    except ValueError as error:
        sys.stderr.write('%s bids: error: %s\n' % (PROG, error))
        return 2
    for problem in result.problems:
        sys.stderr.write('%s bids: warning: %s\n' % (PROG, problem))
    for path in result.files:
        sys.stdout.write(path + '\n')
    return 0


def main(argv=None):
    args = parser().parse_args(argv)
    if args.command is None:
        parser().error('give a command: quality or bids')
    sys.argv[0] = PROG
    return cli.run({'quality': _quality, 'bids': _bids}[args.command], args)


if __name__ == '__main__':
    sys.exit(main())
