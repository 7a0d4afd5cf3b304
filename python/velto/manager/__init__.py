"""The tracker manager: a local web page to set up, position, calibrate,
watch and record eye trackers, served by the velto package itself.

    python -m velto.manager [--port 8410] [--open] [--folder DIR] [--host ADDR]

Standard library only (Python 2.7 and 3.x); the page's files are in
static/. The server owns every piece of state (trackers, calibration,
recording): tabs only show it and ask for changes. Guide: docs/manager.md.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

from .server import Server
from .state import ApiError, Manager, resolve_under


def serve(folder, host='127.0.0.1', port=8410, allowed_hosts=(), verbose=False):
    """A Manager of the trackers found and a Server for it, bound but not
    yet serving: call server.serve_forever(), then server.stop() and
    manager.close()."""
    manager = Manager(folder)
    try:
        server = Server(manager, host, port, allowed_hosts=allowed_hosts, verbose=verbose)
    except BaseException:
        manager.close()
        raise
    return manager, server


__all__ = ['ApiError', 'Manager', 'Server', 'resolve_under', 'serve']
