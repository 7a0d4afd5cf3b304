"""The live data of the tracker in use, for the pages: the manager's own
gaze and eye image subscriptions, and the compact forms sent on the stream.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import base64
import collections

import velto

from .values import number, rounded

# Samples kept for the pages (about 3.4 s at 1200 Hz).
RECENT_SAMPLES = 4096
EYES = ('left', 'right')


class LiveStreams(object):
    """The manager's own subscriptions of the tracker in use: gaze samples
    and eye images kept for the pages, with counters. A recording has its
    own subscription; nothing here can hold back or drop its rows."""

    def __init__(self, tracker, frequency):
        self.tracker = tracker
        self.period_us = 1e6 / frequency if frequency else None
        self.recent = collections.deque(maxlen=RECENT_SAMPLES)  # (serial, sample)
        self.serial = 0
        self.missing = 0      # samples absent by their time stamps (gaps in the stream)
        self.invalid = {'left': 0, 'right': 0}
        self._last_device = None
        self.images = {}      # camera -> (serial, system time stamp, GIF bytes)
        self.image_serial = 0
        self.gaze = tracker.gaze(callback=self._on_gaze)
        self.eye_images = None
        if 'eye_images' in tracker.capabilities:
            try:
                self.eye_images = tracker.eye_images(callback=self._on_image)
            except velto.VeltoError:
                pass  # the page shows no images; gaze goes on

    def set_frequency(self, frequency):
        self.period_us = 1e6 / frequency if frequency else None
        self._last_device = None

    def _on_gaze(self, sample):  # on a device library thread: counters and one append
        device = sample['device_time_stamp']
        last, period = self._last_device, self.period_us
        if last is not None and period:
            gap = device - last
            if gap > 1.5 * period:
                self.missing += int(round(gap / period)) - 1
        self._last_device = device
        if sample['left_gaze_point_validity'] != 1:
            self.invalid['left'] += 1
        if sample['right_gaze_point_validity'] != 1:
            self.invalid['right'] += 1
        self.serial += 1
        self.recent.append((self.serial, sample))

    def _on_image(self, record):  # on a device library thread
        self.image_serial += 1
        self.images[record['camera_id']] = (self.image_serial, record['system_time_stamp'],
                                             record['image_data'])

    def since(self, serial):
        """Samples newer than `serial`, oldest first."""
        recent = list(self.recent)
        if not recent or recent[-1][0] <= serial:
            return []
        first = recent[0][0]
        return recent[max(0, serial + 1 - first):]

    def close(self):
        for subscription in (self.gaze, self.eye_images):
            if subscription is not None:
                try:
                    subscription.close()
                except velto.VeltoError:
                    pass


def sample_frame(sample):
    """The compact form of one gaze sample sent to the pages."""
    out = {'t': sample['system_time_stamp']}
    for eye in EYES:
        valid = sample[eye + '_gaze_point_validity'] == 1
        origin_valid = sample[eye + '_gaze_origin_validity'] == 1
        out[eye] = {
            'valid': valid,
            'point': rounded(sample[eye + '_gaze_point_on_display_area']) if valid else None,
            'box': rounded(sample[eye + '_gaze_origin_in_trackbox_coordinate_system'])
            if origin_valid else None,
            'pupil': number(round(sample[eye + '_pupil_diameter'], 2))
            if sample[eye + '_pupil_validity'] == 1 else None,
        }
    return out


def trail_point(sample):
    out = []
    for eye in EYES:
        if sample[eye + '_gaze_point_validity'] == 1:
            out.extend(rounded(sample[eye + '_gaze_point_on_display_area']))
        else:
            out.extend((None, None))
    return out


def image_data_url(data):
    return 'data:image/gif;base64,' + base64.b64encode(data).decode('ascii')
