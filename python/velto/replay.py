"""Replaying a recording as an eye tracker of the simulated device library.

    with velto.replay('session-01') as tracker:     # a Tracker, as open_tracker gives
        with tracker.gaze() as gaze:
            for sample in gaze.for_seconds(5):      # ConnectionLost at the end
                print(sample['left_gaze_point_on_display_area'])

The simulated library (simulator/, libvelto.so) plays the folder's gaze rows
at their recorded intervals and its recorded events, with time stamps of
now; at the end gaze stops and a connection-lost notification follows
(unless `loop`). Details: docs/python-api.md ("Replaying a recording").
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import contextlib
import os
import sys

from .tracker import open_tracker


def _simulator_module():
    """velto_sim: installed beside the package, or simulator/ of the source tree."""
    try:
        import velto_sim
    except ImportError:
        source = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                              'simulator')
        if not os.path.isfile(os.path.join(source, 'velto_sim.py')):
            raise
        sys.path.append(os.path.normpath(source))
        import velto_sim
    return velto_sim


def _simulator(velto_sim):
    """The control interface of the device library the module is linked
    against; ValueError when that library is not the simulated one."""
    try:
        return velto_sim.Simulator()  # the libvelto.so beside velto_internal
    except (OSError, AttributeError, RuntimeError) as error:
        raise ValueError('replay needs the simulated device library (libvelto.so of simulator/): %s'
                         % error)


@contextlib.contextmanager
def replay(folder, loop=False, speed=1.0, timeout=None):
    """Makes the recording `folder` the simulated library's only tracker and
    yields it opened (a Tracker). `loop` plays it again and again; `speed`
    scales its pace (2.0: twice as fast). On exit the tracker is closed and
    the simulated world set before (through velto_sim) comes back, else the
    default world. ValueError, naming file:line, when the recording cannot be
    replayed (checked whole before anything plays)."""
    velto_sim = _simulator_module()
    simulator = _simulator(velto_sim)
    previous = velto_sim.current_world()
    simulator.replay(os.path.abspath(folder), loop, speed)
    tracker = None
    try:
        tracker = open_tracker() if timeout is None else open_tracker(timeout=timeout)
        yield tracker
    finally:
        try:
            if tracker is not None:
                tracker.close()
        finally:
            simulator.configure(previous if previous is not None else {})
