"""The event streams: external signal, time synchronisation, stream errors,
notifications, eye images and log messages, each as its own subscribers see
it and no other."""
import ctypes
import unittest

import support
from support import call, f32, native
from support import setUpModule, tearDownModule  # noqa: F401 (run by unittest)


def notification(kind, frequency=0.0, area=None):
    n = support.Notification(system_time_stamp=31, notification_type=kind)
    n.value.gaze_output_frequency = frequency
    if area:
        n.value.display_area = area
    return n


AREA = support.DisplayArea(bottom_left=(-0.25, 0.1, 0.3), bottom_right=(0.25, 0.1, 0.3),
                           height=0.3, top_left=(-0.25, 0.4, 0.1), top_right=(0.25, 0.4, 0.1),
                           width=0.5)
IMAGE = b'GIF89a\x00\x01\x00\x00\xff;'
IMAGE_BUFFER = ctypes.create_string_buffer(IMAGE, len(IMAGE))
# (stream type, record, the dict its subscribers get)
CASES = [
    (2, support.ExternalSignalData(-1, 2 ** 40, -1, 1),
     {'value': -1, 'change_type': 'external_signal_change_type_initial_value',
      'device_time_stamp': -1, 'system_time_stamp': 2 ** 40}),
    # The device time stamp lies outside the system interval: still unchanged.
    (3, support.TimeSynchronizationData(100, 5000, 200),
     {'system_request_time_stamp': 100, 'device_time_stamp': 5000,
      'system_response_time_stamp': 200}),
    (4, support.StreamErrorData(77, 3, 2, b'pump stalled'),
     {'system_time_stamp': 77, 'error': 'stream_error_internal_error',
      'source': 'stream_error_source_subscription_gaze_data', 'message': 'pump stalled'}),
    (4, support.StreamErrorData(0, 1, 7, None),  # defensive: no text at all
     {'system_time_stamp': 0, 'error': 'stream_error_unknown',
      'source': 'stream_error_source_unknown', 'message': ''}),
    # Type 3 carries nothing: whatever lies in the payload is not read.
    (5, notification(3, 50.0), {'notification_type':
                                'eyetracker_notification_calibration_mode_left',
                                'system_time_stamp': 31}),
    (5, notification(6, 119.99999), {
        'notification_type': 'eyetracker_notification_gaze_output_frequency_changed',
        'system_time_stamp': 31, 'gaze_output_frequency': 119.99999237060547}),
    (5, notification(5, area=AREA), {
        'notification_type': 'eyetracker_notification_display_area_changed',
        'system_time_stamp': 31,
        'display_area': {'bottom_left': (-0.25, f32(0.1), f32(0.3)),
                         'bottom_right': (0.25, f32(0.1), f32(0.3)), 'height': f32(0.3),
                         'top_left': (-0.25, f32(0.4), f32(0.1)),
                         'top_right': (0.25, f32(0.4), f32(0.1)), 'width': 0.5}}),
    (5, notification(-1), {'notification_type': 'eyetracker_notification_unknown',
                           'system_time_stamp': 31}),
    (6, support.EyeImage(5, 6, 1, 2, len(IMAGE), ctypes.cast(IMAGE_BUFFER, ctypes.c_void_p)),
     {'device_time_stamp': 5, 'system_time_stamp': 6, 'camera_id': 2,
      'image_type': 'eye_image_type_cropped', 'image_data': IMAGE}),
    (6, support.EyeImage(0, 0, 3, 0, 10, None),  # defensive: no pointer is no image
     {'device_time_stamp': 0, 'system_time_stamp': 0, 'camera_id': 0,
      'image_type': 'eye_image_type_unknown', 'image_data': b''}),
]


class EventStreams(unittest.TestCase):
    def setUp(self):
        support.reset()
        self.device = support.world([{'address': 'velto-sim://events', 'capabilities': 7}])[0]
        call('unsubscribe_from', (0, 0))  # no log subscription left from elsewhere
        self.got = dict((stream, support.Collector()) for stream in range(7))
        for stream, collector in self.got.items():
            device = 0 if stream == 0 else self.device
            self.assertEqual(call('subscribe_to', (stream, device, collector)), (0,))

    def tearDown(self):
        for stream in self.got:
            call('unsubscribe_from', (stream, 0 if stream == 0 else self.device))

    def delivered(self, stream, emitted):
        """The one dict that `stream` received; no other stream received anything."""
        self.assertEqual(emitted, 1)
        self.assertEqual(dict((s, len(c.items)) for s, c in self.got.items()),
                         dict((s, int(s == stream)) for s in self.got))
        record = self.got[stream].items.pop()
        self.assertIsNone(support.dict_problem(stream, record))
        return record

    def test_each_record_reaches_its_own_streams_subscriber_as_a_dict(self):
        for stream, record, expected in CASES:
            self.assertEqual(self.delivered(stream, support.emit(stream, self.device, record)),
                             expected)
        self.assertEqual(support.emit(1, self.device, support.GazeData()), 1)
        self.assertEqual(len(self.delivered(1, 1)), 18)

    def test_log_messages(self):
        self.assertEqual(self.delivered(0, support.emit_log(-9, 2, 4, b'flash done')),
                         {'system_time_stamp': -9, 'source': 'FirmwareUpgrade',
                          'level': 'Trace', 'message': 'flash done'})
        self.assertEqual(self.delivered(0, support.emit_log(1, 3, -1, b'caf\xe9')),
                         {'system_time_stamp': 1, 'source': 'Unknown', 'level': 'Unknown',
                          'message': native(b'caf\xe9')})


if __name__ == '__main__':
    unittest.main()
