"""Library-wide calls and device discovery against the simulated library:
descriptions, the size query of find_all_eyetrackers, each producer's own
treatment of failing queries, and argument refusals."""
import unittest

import support
from support import call, calls, configure, fail

import velto_internal

ALL_CAPABILITIES = ('capability_can_set_display_area', 'capability_has_external_signal',
                    'capability_has_eye_images')
DESCRIPTION_KEYS = set(['address', 'device_name', 'serial_number', 'model', 'firmware_version',
                        'device_capabilities', 'core_eyetracker'])


def setUpModule():
    velto_internal.startup()


def tearDownModule():
    velto_internal.cleanup()


def tracker(**fields):
    """One tracker of a configured world; every other field keeps its default."""
    return fields


def functions(entries):
    return [e['function'] for e in entries]


class DiscoveryCase(unittest.TestCase):
    def setUp(self):
        support.reset()

    def assert_description(self, description, address, name, serial, model, firmware,
                           capabilities):
        self.assertEqual(set(description.keys()), DESCRIPTION_KEYS)
        self.assertEqual(description['address'], address)
        self.assertEqual(description['device_name'], name)
        self.assertEqual(description['serial_number'], serial)
        self.assertEqual(description['model'], model)
        self.assertEqual(description['firmware_version'], firmware)
        self.assertEqual(description['device_capabilities'], capabilities)
        for key in ('address', 'device_name', 'serial_number', 'model', 'firmware_version'):
            self.assertIs(type(description[key]), str, key)
        self.assertIs(type(description['core_eyetracker']), long)


class FindAllEyetrackers(DiscoveryCase):
    def test_default_world_lists_both_trackers_in_order(self):
        support.clear_calls()
        status, found = call('find_all_eyetrackers')
        self.assertEqual(status, 0)
        self.assertIs(type(found), list)
        self.assertEqual(len(found), 2)
        self.assert_description(found[0], 'velto-tcp://192.168.71.20', 'Velto Lab A',
                                'VS5-2041-0187', 'Velto Spectra 5', '2.14.1', ALL_CAPABILITIES)
        self.assert_description(found[1], 'velto-usb://VN2-0038-0921', 'Velto Nano',
                                'VN2-0038-0921', 'Velto Nano 2', '1.7.0', ())
        self.assertNotEqual(found[0]['core_eyetracker'], found[1]['core_eyetracker'])

        log = calls()
        finds = [e for e in log if e['function'] == 'velto_find_all_eyetrackers']
        self.assertEqual([e['capacity'] for e in finds], [0, 2])
        # Per device: properties 0..4 in order, then the capability mask.
        per_device = [e for e in log if e['function'] != 'velto_find_all_eyetrackers']
        self.assertEqual(len(per_device), 12)
        for i, description in enumerate(found):
            entries = per_device[6 * i:6 * i + 6]
            self.assertEqual([e.get('index') for e in entries[:5]], [0, 1, 2, 3, 4])
            self.assertEqual(entries[5]['function'], 'velto_get_capabilities')
            for e in entries:
                self.assertEqual(e['handle'], description['core_eyetracker'])

    def test_no_trackers_gives_empty_list_after_two_calls(self):
        configure({'trackers': []})
        support.clear_calls()
        self.assertEqual(call('find_all_eyetrackers'), (0, []))
        finds = calls('velto_find_all_eyetrackers')
        self.assertEqual([e['capacity'] for e in finds], [0, 0])
        self.assertEqual(len(calls()), 2)

    def test_arguments_are_not_read(self):
        self.assertEqual(len(call('find_all_eyetrackers', (u'x', None, 3.5))[1]), 2)

    def test_failing_size_query_ends_the_operation(self):
        fail('velto_find_all_eyetrackers', 42, 0, 1)
        self.assertEqual(call('find_all_eyetrackers'), (42,))
        self.assertEqual(len(calls('velto_find_all_eyetrackers')), 1)
        self.assertEqual(calls('velto_get_property'), [])

    def test_failing_second_call_is_not_retried(self):
        for status in (15, 6):
            support.reset()
            fail('velto_find_all_eyetrackers', status, 1, 1)
            self.assertEqual(call('find_all_eyetrackers'), (status,))
            self.assertEqual(len(calls('velto_find_all_eyetrackers')), 2)
            self.assertEqual(calls('velto_get_property'), [])

    def test_failing_description_queries_are_ignored(self):
        # The second property query (device_name of the first tracker) and the
        # first capability query fail; both devices are still described, the
        # failed entries empty.
        fail('velto_get_property', 6, 1, 1)
        fail('velto_get_capabilities', 6, 0, 1)
        status, found = call('find_all_eyetrackers')
        self.assertEqual(status, 0)
        self.assertEqual(len(found), 2)
        self.assertEqual(found[0]['device_name'], '')
        self.assertEqual(found[0]['device_capabilities'], ())
        self.assertEqual(found[0]['model'], 'Velto Spectra 5')
        self.assertEqual(found[1]['device_name'], 'Velto Nano')

    def test_many_trackers_in_configured_order(self):
        configure({'trackers': [tracker(address='a%d' % i, capabilities=i % 8)
                                for i in range(9)]})
        status, found = call('find_all_eyetrackers')
        self.assertEqual(status, 0)
        self.assertEqual([d['address'] for d in found], ['a%d' % i for i in range(9)])
        self.assertEqual(len(set(d['core_eyetracker'] for d in found)), 9)


class Capabilities(DiscoveryCase):
    def test_mask_to_names_in_bit_order(self):
        cases = [(0, ()), (7, ALL_CAPABILITIES), (8, ()), (1, ALL_CAPABILITIES[:1]),
                 (2, ALL_CAPABILITIES[1:2]), (4, ALL_CAPABILITIES[2:]),
                 (5, (ALL_CAPABILITIES[0], ALL_CAPABILITIES[2])), (15, ALL_CAPABILITIES),
                 (-1, ALL_CAPABILITIES), (-8, ())]
        configure({'trackers': [tracker(address='t%d' % i, capabilities=mask)
                                for i, (mask, _) in enumerate(cases)]})
        found = support.devices()
        for (mask, names), description in zip(cases, found):
            self.assertEqual(description['device_capabilities'], names, mask)
            self.assertIs(type(description['device_capabilities']), tuple)


class GetDevice(DiscoveryCase):
    def test_known_address(self):
        support.clear_calls()
        status, description = call('get_device', ('velto-usb://VN2-0038-0921',))
        self.assertEqual(status, 0)
        self.assert_description(description, 'velto-usb://VN2-0038-0921', 'Velto Nano',
                                'VN2-0038-0921', 'Velto Nano 2', '1.7.0', ())
        self.assertEqual(description['core_eyetracker'], support.devices()[1]['core_eyetracker'])
        self.assertEqual(calls()[0], {'function': 'velto_get_eyetracker',
                                      'text': 'velto-usb://VN2-0038-0921'})

    def test_address_entry_is_what_the_device_reports(self):
        # The address property query fails: its entry is empty, not a copy of
        # the argument, and the operation still succeeds.
        fail('velto_get_property', 6, 0, 1)
        status, description = call('get_device', ('velto-tcp://192.168.71.20',))
        self.assertEqual(status, 0)
        self.assertEqual(description['address'], '')
        self.assertEqual(description['device_name'], 'Velto Lab A')

    def test_unknown_address_gives_the_library_status_alone(self):
        result = call('get_device', ('velto-tcp://nowhere',))
        self.assertEqual(len(result), 1)
        self.assertNotEqual(result[0], 0)
        self.assertEqual(calls('velto_get_property'), [])
        fail('velto_get_eyetracker', 77, 0, 1)
        self.assertEqual(call('get_device', ('velto-tcp://192.168.71.20',)), (77,))

    def test_refused_arguments_make_no_call(self):
        for args in [(), (5,), (u'velto-tcp://192.168.71.20',), (None,), (1.5,),
                     (('velto-tcp://192.168.71.20',),)]:
            self.assertEqual(call('get_device', args), (10,), args)
        self.assertEqual(calls(), [])

    def test_extra_items_are_ignored(self):
        status, description = call('get_device', ('velto-tcp://192.168.71.20', 1, None))
        self.assertEqual(status, 0)
        self.assertEqual(description['device_name'], 'Velto Lab A')


class GetDeviceData(DiscoveryCase):
    def test_describes_the_handle_it_was_given(self):
        first = support.devices()[0]
        support.clear_calls()
        self.assertEqual(call('get_device_data', (first['core_eyetracker'],)), (0, first))
        self.assertEqual(functions(calls()), ['velto_get_property'] * 5 +
                         ['velto_get_capabilities'])

    def test_real_handle_given_as_int_describes_the_same_device(self):
        # Regression: an int handle wider than 32 bits was cut to its low 32 bits and
        # addressed another (or no) device.
        first = support.devices()[0]
        as_int = int(first['core_eyetracker'])
        self.assertIs(type(as_int), int)
        result = call('get_device_data', (as_int,))
        self.assertEqual(result, (0, first))
        self.assertIs(type(result[1]['core_eyetracker']), long)

    def test_handle_given_as_int_is_widened(self):
        # A Python int where a handle is parsed is accepted and reaches the
        # library sign-extended to 64 bits (the simulator answers "invalid
        # handle" for these values, which passes through unchanged).
        for handle in (-1, 5, 2147483647):
            support.clear_calls()
            self.assertIs(type(handle), int)
            result = call('get_device_data', (handle,))
            self.assertEqual(len(result), 1)
            self.assertNotIn(result[0], (0, 10))
            self.assertEqual(calls(), [{'function': 'velto_get_property', 'index': 0,
                                        'handle': handle}])

    def test_first_failing_query_ends_the_operation(self):
        handle = support.devices()[0]['core_eyetracker']
        support.clear_calls()
        fail('velto_get_property', 5, 2, 1)
        self.assertEqual(call('get_device_data', (handle,)), (5,))
        self.assertEqual([e.get('index') for e in calls()], [0, 1, 2])

        support.clear_calls()
        fail('velto_get_capabilities', 9, 0, 1)
        self.assertEqual(call('get_device_data', (handle,)), (9,))
        self.assertEqual(functions(calls()), ['velto_get_property'] * 5 +
                         ['velto_get_capabilities'])

    def test_unknown_handle_gives_the_library_status(self):
        result = call('get_device_data', (12345,))
        self.assertEqual(len(result), 1)
        self.assertNotEqual(result[0], 0)
        self.assertEqual(len(calls('velto_get_property')), 1)

    def test_refused_arguments_make_no_call(self):
        handle = support.devices()[0]['core_eyetracker']
        support.clear_calls()
        for args in [(), (float(handle),), (str(handle),), (None,), ((handle,),)]:
            self.assertEqual(call('get_device_data', args), (10,), args)
        self.assertEqual(calls(), [])

    def test_longest_property_texts_reach_python_whole(self):
        long_text = ''.join(chr(ord('a') + i % 26) for i in range(127))
        configure({'trackers': [tracker(address='x' * 127, device_name=long_text,
                                        serial_number='s' * 127, model='m' * 127,
                                        firmware_version='f' * 127)]})
        description = support.devices()[0]
        self.assertEqual(description['address'], 'x' * 127)
        self.assertEqual(description['device_name'], long_text)
        self.assertEqual(description['firmware_version'], 'f' * 127)
        status, again = call('get_device_data', (description['core_eyetracker'],))
        self.assertEqual(again, description)

    def test_non_ascii_bytes_pass_unchanged(self):
        name = 'Gr\xc3\xbcn \xe2\x82\xac'
        configure({'trackers': [tracker(device_name=name.decode('utf-8'))]})
        self.assertEqual(support.devices()[0]['device_name'], name)


class LibraryCalls(DiscoveryCase):
    def test_sdk_version_text(self):
        configure({'sdk_version': [1, 5, 0, 43]})
        self.assertEqual(call('get_sdk_version'), (0, '1.5.0.43'))
        configure({'sdk_version': [2147483647, -2147483648, 0, -1]})
        self.assertEqual(call('get_sdk_version', ('ignored',)),
                         (0, '2147483647.-2147483648.0.-1'))
        fail('velto_get_sdk_version', 33, 0, 1)
        self.assertEqual(call('get_sdk_version'), (33,))

    def test_system_time_stamp(self):
        status, first = call('get_system_time_stamp')
        self.assertEqual(status, 0)
        self.assertIs(type(first), long)
        status, second = call('get_system_time_stamp', (1, 2))
        self.assertGreaterEqual(second, first)
        fail('velto_get_system_time_stamp', 3, 0, 1)
        self.assertEqual(call('get_system_time_stamp'), (3,))

    def test_terminate_ignores_arguments_and_passes_the_status(self):
        self.assertEqual(call('terminate', (u'anything', None)), (0,))
        self.assertEqual(functions(calls()), ['velto_terminate'])
        support.reset()
        fail('velto_terminate', 21, 0, 1)
        self.assertEqual(call('terminate'), (21,))
        support.reset()

    def test_report_stream_error(self):
        handle = support.devices()[0]['core_eyetracker']
        support.clear_calls()
        self.assertEqual(call('report_stream_error', (handle, 'lost frames', 'extra')), (0,))
        self.assertEqual(calls(), [{'function': 'velto_report_stream_error', 'handle': handle,
                                    'text': 'lost frames'}])
        fail('velto_report_stream_error', 12, 0, 1)
        self.assertEqual(call('report_stream_error', (handle, '')), (12,))
        support.clear_calls()
        for args in [(handle,), (handle, u'text'), (handle, 5), ('text', handle), ()]:
            self.assertEqual(call('report_stream_error', args), (10,), args)
        self.assertEqual(calls(), [])


if __name__ == '__main__':
    unittest.main()
