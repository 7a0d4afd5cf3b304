"""The event streams: external signal, time synchronisation, stream errors,
notifications, eye images and log messages, as their subscribers see them."""
import ctypes
import unittest

import support
import velto_internal

WORLD = {'generate': False,
         'trackers': [{'address': 'tet-tcp://events', 'capabilities': 7}]}


def setUpModule():
    velto_internal.startup()


def tearDownModule():
    velto_internal.cleanup()


def f32(x):
    return support.f32(x)


class Events(unittest.TestCase):
    def setUp(self):
        support.reset()
        support.configure(WORLD)
        self.device = support.devices()[0]['core_eyetracker']
        self.received = []
        self.streams = []

    def tearDown(self):
        for stream, device in self.streams:
            support.call('unsubscribe_from', (stream, device))

    def listen(self, stream):
        self.assertEqual(support.call('subscribe_to', (stream, self.device, self.received.append)),
                         (0,))
        self.streams.append((stream, self.device))

    def deliver(self, stream, rec):
        del self.received[:]
        self.assertEqual(support.emit(stream, self.device, rec), 1)
        self.assertEqual(len(self.received), 1)
        return self.received[0]

    def test_external_signal(self):
        self.listen(2)
        rec = support.ExternalSignalData(-1, 2 ** 40, -1, 1)
        d = self.deliver(2, rec)
        self.assertEqual(d, {'value': -1, 'change_type': 'external_signal_change_type_initial_value',
                             'device_time_stamp': -1, 'system_time_stamp': 2 ** 40})
        self.assertIs(type(d['value']), int)
        self.assertIs(type(d['device_time_stamp']), long)
        names = []
        for code in (0, 1, 2, 3, -1):
            names.append(self.deliver(2, support.ExternalSignalData(0, 0, 7, code))['change_type'])
        self.assertEqual(names, ['external_signal_change_type_value_changed',
                                 'external_signal_change_type_initial_value',
                                 'external_signal_change_type_connection_restored',
                                 'external_signal_change_type_unknown',
                                 'external_signal_change_type_unknown'])

    def test_time_synchronization_copied_unchanged(self):
        self.listen(3)
        # The device time stamp lies outside the system interval: still unchanged.
        d = self.deliver(3, support.TimeSynchronizationData(100, 5000, 200))
        self.assertEqual(d, {'system_request_time_stamp': 100, 'device_time_stamp': 5000,
                             'system_response_time_stamp': 200})
        self.assertTrue(all(type(v) is long for v in d.values()))

    def test_stream_errors(self):
        self.listen(4)
        d = self.deliver(4, support.StreamErrorData(77, 3, 2, 'pump stalled'))
        self.assertEqual(d, {'system_time_stamp': 77, 'error': 'stream_error_internal_error',
                             'source': 'stream_error_source_subscription_gaze_data',
                             'message': 'pump stalled'})
        d = self.deliver(4, support.StreamErrorData(0, 0, 0, ''))
        self.assertEqual(d['message'], '')
        self.assertIs(type(d['message']), str)
        # Code 1 has no row; past-the-end and negative codes neither.
        d = self.deliver(4, support.StreamErrorData(0, 1, 7, 'x'))
        self.assertEqual((d['error'], d['source']),
                         ('stream_error_unknown', 'stream_error_source_unknown'))
        d = self.deliver(4, support.StreamErrorData(0, -2, -1, 'x'))
        self.assertEqual((d['error'], d['source']),
                         ('stream_error_unknown', 'stream_error_source_unknown'))
        d = self.deliver(4, support.StreamErrorData(0, 4, 6, None))  # defensive: null text
        self.assertEqual((d['error'], d['source'], d['message']),
                         ('stream_error_user_error',
                          'stream_error_source_subscription_notification', ''))

    def test_notifications_by_type(self):
        self.listen(5)
        n = support.Notification()
        n.system_time_stamp = 31
        n.notification_type = 3
        n.value.gaze_output_frequency = 50.0  # not read for type 3
        self.assertEqual(self.deliver(5, n),
                         {'notification_type': 'eyetracker_notification_calibration_mode_left',
                          'system_time_stamp': 31})

        n.notification_type = 6
        n.value.gaze_output_frequency = 119.99999
        d = self.deliver(5, n)
        self.assertEqual(sorted(d), ['gaze_output_frequency', 'notification_type',
                                     'system_time_stamp'])
        self.assertEqual(d['gaze_output_frequency'], 119.99999237060547)
        self.assertEqual(d['notification_type'],
                         'eyetracker_notification_gaze_output_frequency_changed')

        n.notification_type = 5
        area = n.value.display_area
        area.bottom_left = support.Point3(-0.25, 0.1, 0.3)
        area.bottom_right = support.Point3(0.25, 0.1, 0.3)
        area.height = 0.3
        area.top_left = support.Point3(-0.25, 0.4, 0.1)
        area.top_right = support.Point3(0.25, 0.4, 0.1)
        area.width = 0.5
        d = self.deliver(5, n)
        self.assertEqual(d['notification_type'], 'eyetracker_notification_display_area_changed')
        self.assertEqual(d['system_time_stamp'], 31)
        self.assertEqual(d['display_area'], {
            'bottom_left': (-0.25, f32(0.1), f32(0.3)),
            'bottom_right': (0.25, f32(0.1), f32(0.3)),
            'height': f32(0.3),
            'top_left': (-0.25, f32(0.4), f32(0.1)),
            'top_right': (0.25, f32(0.4), f32(0.1)),
            'width': 0.5})

        names = []
        for code in (0, 1, 2, 4, 7, -1):
            n.notification_type = code
            d = self.deliver(5, n)
            self.assertEqual(len(d), 2)
            names.append(d['notification_type'])
        self.assertEqual(names, ['eyetracker_notification_connection_lost',
                                 'eyetracker_notification_connection_restored',
                                 'eyetracker_notification_calibration_mode_entered',
                                 'eyetracker_notification_track_box_changed',
                                 'eyetracker_notification_unknown',
                                 'eyetracker_notification_unknown'])

    def test_eye_images_copied_by_size(self):
        self.listen(6)
        data = 'GIF89a\x00\x01\x00\x00\xff;'
        buf = ctypes.create_string_buffer(data, len(data))
        img = support.EyeImage(5, 6, 1, 2, len(data), ctypes.cast(buf, ctypes.c_void_p))
        d = self.deliver(6, img)
        self.assertEqual(d, {'device_time_stamp': 5, 'system_time_stamp': 6, 'camera_id': 2,
                             'image_type': 'eye_image_type_cropped', 'image_data': data})
        self.assertIs(type(d['camera_id']), int)
        img.image_size = 0
        self.assertEqual(self.deliver(6, img)['image_data'], '')
        # Defensive: no pointer, whatever the size, is an empty image.
        img.image_size = 10
        img.image_data = None
        self.assertEqual(self.deliver(6, img)['image_data'], '')
        types = []
        for code in (0, 2, 3, -1):
            img.type = code
            types.append(self.deliver(6, img)['image_type'])
        self.assertEqual(types, ['eye_image_type_full', 'eye_image_type_unknown',
                                 'eye_image_type_unknown', 'eye_image_type_unknown'])

    def test_log_messages(self):
        support.call('unsubscribe_from', (0, 0))  # no log subscription left from elsewhere
        self.assertEqual(support.call('subscribe_to', (0, 0, self.received.append)), (0,))
        self.streams.append((0, 0))
        self.assertEqual(support.emit_log(-9, 2, 4, 'flash done'), 1)
        self.assertEqual(self.received, [{'system_time_stamp': -9, 'source': 'FirmwareUpgrade',
                                          'level': 'Trace', 'message': 'flash done'}])
        self.assertIs(type(self.received[0]['system_time_stamp']), long)
        cases = [(0, 0, 'Kelmo', 'Error'), (1, 1, 'SDK', 'Warning'),
                 (1, 2, 'SDK', 'Information'), (0, 3, 'Kelmo', 'Debug'),
                 (3, 5, 'Unknown', 'Unknown'), (-1, -1, 'Unknown', 'Unknown')]
        for source, level, source_name, level_name in cases:
            del self.received[:]
            self.assertEqual(support.emit_log(1, source, level, ''), 1)
            self.assertEqual((self.received[0]['source'], self.received[0]['level'],
                              self.received[0]['message']), (source_name, level_name, ''))

    def test_each_stream_reaches_only_its_own_subscriber(self):
        per_stream = {}
        for stream in (2, 3, 4, 5, 6):
            per_stream[stream] = []
            self.assertEqual(support.call('subscribe_to',
                                          (stream, self.device, per_stream[stream].append)), (0,))
            self.streams.append((stream, self.device))
        n = support.Notification()
        n.notification_type = 0
        support.emit(2, self.device, support.ExternalSignalData(0, 0, 1, 0))
        support.emit(3, self.device, support.TimeSynchronizationData(1, 2, 3))
        support.emit(4, self.device, support.StreamErrorData(0, 0, 0, 'm'))
        support.emit(5, self.device, n)
        support.emit(6, self.device, support.EyeImage())
        self.assertEqual([len(per_stream[s]) for s in (2, 3, 4, 5, 6)], [1] * 5)
        self.assertIn('value', per_stream[2][0])
        self.assertIn('system_request_time_stamp', per_stream[3][0])
        self.assertIn('error', per_stream[4][0])
        self.assertIn('notification_type', per_stream[5][0])
        self.assertIn('image_data', per_stream[6][0])


if __name__ == '__main__':
    unittest.main()
