"""What a recording lost: gaps in the gaze data, samples without a valid
gaze point, lost connections; the figures of metadata.json's "data_loss"
and the texts of its "damage".

A gap is more than 1.5 nominal sample intervals (1 / the gaze output
frequency) of the tracker's clock between two successive samples: samples
the tracker dropped (a callback too slow for the stream holds the library's
thread; an overloaded library) or a lost connection. Jitter below that is
not a gap. Each gap becomes an events line (docs/python-api.md).

Data layer: plain figures, no I/O of its own.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import operator

from ._compat import to_unicode
from .errors import CONNECTION_LOST, CONNECTION_RESTORED

GAP_INTERVALS = 1.5
EYES = ('left', 'right')
# What scan_kept() needs of each gaze dict, in this order (native str keys:
# on 2.7 the module's dicts have byte-string keys, found fastest by their like).
KEPT_KEYS = tuple(str(k) for k in ('device_time_stamp', 'system_time_stamp',
                                   'left_gaze_point_validity', 'right_gaze_point_validity'))
KEPT_SYSTEM_TIME = 1  # the index of the system time stamp in those


class Losses(object):
    """The losses of one recording so far. `data_loss` (the metadata's dict),
    `connection_lost` (now), `connection_losses` (how often)."""

    def __init__(self, frequency_hz, start_system_us):
        self.start_system_us = start_system_us
        self.interval_us = 1e6 / frequency_hz if frequency_hz and frequency_hz > 0 else None
        self.data_loss = {'gaps': 0, 'missing_samples': 0, 'longest_gap_us': 0,
                          'left_invalid_share': None, 'right_invalid_share': None}
        self.connection_lost = False
        self.connection_losses = 0
        self._rows = 0
        self._invalid = dict((eye, 0) for eye in EYES)
        self._last = None      # (device, system time stamp) of the last sample seen
        self._change = None    # (system time, interval before) of a new frequency

    def scan_kept(self, kept):
        """Counts a batch of samples, given as each one's values of KEPT_KEYS
        (tuples, in order); returns the gap lines (dicts) it found."""
        if not kept:
            return []
        stamps, systems, left, right = zip(*kept)
        self._rows += len(kept)
        for eye, validity in zip(EYES, (left, right)):
            self._invalid[eye] += len(kept) - validity.count(1)
            self.data_loss[eye + '_invalid_share'] = round(self._invalid[eye] / self._rows, 6)
        gaps = []
        interval = self.interval_us
        if interval:
            limit = GAP_INTERVALS * interval
            last = self._last
            if last is not None and stamps[0] - last[0] > limit:
                gaps.append(self._gap(last[0], last[1], stamps[0]))
            steps = list(map(operator.sub, stamps[1:], stamps[:-1]))
            if steps and max(steps) > limit:  # the common case stays in C
                for i, step in enumerate(steps):
                    if step > limit:
                        gaps.append(self._gap(stamps[i], systems[i], stamps[i + 1]))
        self._last = (stamps[-1], systems[-1])
        return [g for g in gaps if g is not None]

    def notification(self, record):
        """Follows a notification: a new frequency changes the interval; returns
        'connection_lost' / 'connection_restored' when the connection changed."""
        kind = to_unicode(record.get('notification_type', ''))
        frequency = record.get('gaze_output_frequency')
        if frequency and frequency > 0:
            self._change = (record.get('system_time_stamp'), self.interval_us)
            self.interval_us = 1e6 / frequency
        if kind == CONNECTION_LOST and not self.connection_lost:
            self.connection_lost = True
            self.connection_losses += 1
            return 'connection_lost'
        if kind == CONNECTION_RESTORED and self.connection_lost:
            self.connection_lost = False
            return 'connection_restored'
        return None

    def gap_to_end(self, end_us):
        """A connection still lost at the end: the stretch from the last sample
        to the end is a gap (its device time from the system time passed).
        The gap line or None."""
        last = self._last
        if self.connection_lost and last is not None and end_us is not None and self.interval_us:
            return self._gap(last[0], last[1], last[0] + (end_us - last[1]))
        return None

    def _gap(self, device_before, system_before, device_after):
        interval = self.interval_us
        change = self._change
        if change is not None and change[1] and change[0] is not None and system_before < change[0]:
            interval = max(interval, change[1])  # a sample at the frequency before the change
        span = device_after - device_before
        if span <= GAP_INTERVALS * interval:
            return None
        loss = self.data_loss
        missing = max(1, int(round(span / interval)) - 1)
        duration = int(round(span - interval))
        loss['gaps'] += 1
        loss['missing_samples'] += missing
        loss['longest_gap_us'] = max(loss['longest_gap_us'], duration)
        first = int(round(system_before + interval))
        return {'stream': 'gap', 't_us': first - self.start_system_us, 'system_time_stamp': first,
                'duration_us': duration, 'missing_samples': missing,
                'device_time_stamp_before': device_before, 'device_time_stamp_after': device_after}

    def damage(self):
        """What the losses keep a recording from being intact, one text each."""
        damage = []
        loss = self.data_loss
        if loss['gaps']:
            damage.append('%d gap(s) in the gaze data, about %d samples missing (longest %.0f ms)'
                          % (loss['gaps'], loss['missing_samples'], loss['longest_gap_us'] / 1e3))
        if self.connection_losses:
            damage.append('the tracker\'s connection was lost %d time(s)%s' % (
                self.connection_losses, ', not restored' if self.connection_lost else ''))
        return damage
