"""python -m velto.manager: serves the tracker manager page until Ctrl-C."""
from __future__ import absolute_import, division, print_function, unicode_literals

import argparse
import os
import signal
import sys
import threading

from . import serve


def parse(argv):
    parser = argparse.ArgumentParser(
        prog='python -m velto.manager',
        description='Serves the velto tracker manager page (set up, position, calibrate, watch, '
                    'record) on this computer. Ctrl-C stops it; a running recording is closed '
                    'cleanly first.')
    parser.add_argument('--port', type=int, default=8410, help='port (default 8410; 0: any free one)')
    parser.add_argument('--host', default='127.0.0.1',
                        help='address to listen on (default 127.0.0.1, this computer only). '
                             'WARNING: another address lets other computers on that network '
                             'reach the page, see the gaze data and drive the tracker (the '
                             'page\'s token travels unencrypted)')
    parser.add_argument('--allow-host', action='append', default=[], metavar='NAME',
                        help='another host name the page may be reached by (with --host)')
    parser.add_argument('--folder', default='.',
                        help='save root: recordings and calibration files go only under it '
                             '(default: the current folder)')
    parser.add_argument('--open', action='store_true', help='open the page in the web browser')
    parser.add_argument('--verbose', action='store_true', help='log every request to stderr')
    options = parser.parse_args(argv)
    if not 0 <= options.port <= 65535:
        parser.error('--port must be within 0..65535')
    if not os.path.isdir(options.folder):
        parser.error('--folder %s is not a folder' % options.folder)
    return options


def main(argv=None):
    options = parse(sys.argv[1:] if argv is None else argv)
    try:
        manager, server = serve(options.folder, options.host, options.port,
                                options.allow_host, options.verbose)
    except Exception as error:
        print('velto manager: cannot start: %s' % error, file=sys.stderr)
        return 1
    done = threading.Event()

    def stop(signum, frame):
        done.set()
    signal.signal(signal.SIGTERM, stop)
    loop = threading.Thread(target=server.serve_forever, name='velto-manager-http')
    loop.daemon = True
    loop.start()
    if options.host not in ('127.0.0.1', 'localhost', '::1'):
        print('velto manager: WARNING: listening on %s; anyone who can reach it can drive the '
              'tracker' % options.host, file=sys.stderr)
    print('velto manager: %s  (saving under %s; Ctrl-C stops)' % (server.url, manager.root))
    sys.stdout.flush()
    if options.open:
        import webbrowser
        webbrowser.open(server.url)
    try:
        while not done.wait(0.5):  # short waits: Ctrl-C reaches the main thread on 2.7 too
            pass
    except KeyboardInterrupt:
        pass
    print('velto manager: stopping', file=sys.stderr)
    server.stop()
    manager.close()
    return 0


if __name__ == '__main__':
    sys.exit(main())
