"""Library-wide calls and device discovery against the simulated library:
descriptions, capability names, the size query of find_all_eyetrackers, and
which failing queries end an operation and which leave an entry empty."""
import unittest

import support
from support import LONG, call, calls, fail
from support import setUpModule, tearDownModule  # noqa: F401 (run by unittest)

ALL_CAPABILITIES = ('capability_can_set_display_area', 'capability_has_external_signal',
                    'capability_has_eye_images')
TEXTS = ('address', 'device_name', 'serial_number', 'model', 'firmware_version')


def functions(entries):
    return [e['function'] for e in entries]


class Discovery(unittest.TestCase):
    def setUp(self):
        support.reset()

    def test_default_world_descriptions_and_the_calls_behind_them(self):
        status, found = call('find_all_eyetrackers', (support.NOT_TEXT, None, 3.5))
        self.assertEqual(status, 0)
        self.assertIs(type(found), list)
        self.assertEqual([tuple(d[k] for k in TEXTS + ('device_capabilities',)) for d in found],
                         [('velto-tcp://192.168.71.20', 'Velto Lab A', 'VS5-2041-0187',
                           'Velto Spectra 5', '2.14.1', ALL_CAPABILITIES),
                          ('velto-usb://VN2-0038-0921', 'Velto Nano', 'VN2-0038-0921',
                           'Velto Nano 2', '1.7.0', ())])
        for description in found:
            self.assertEqual(support.key_order(description), support.key_order(
                TEXTS + ('device_capabilities', 'core_eyetracker')))
            self.assertEqual([type(description[k]) for k in TEXTS], [str] * 5)
            self.assertIs(type(description['core_eyetracker']), LONG)
        self.assertNotEqual(found[0]['core_eyetracker'], found[1]['core_eyetracker'])
        # A size query, then the list, then per device properties 0..4 and the capabilities.
        log = calls()
        self.assertEqual([e['capacity'] for e in log[:2]], [0, 2])
        self.assertEqual(functions(log[:2]), ['velto_find_all_eyetrackers'] * 2)
        for i, description in enumerate(found):
            entries = log[2 + 6 * i:8 + 6 * i]
            self.assertEqual([e.get('index') for e in entries], [0, 1, 2, 3, 4, None])
            self.assertEqual(entries[5]['function'], 'velto_get_capabilities')
            self.assertEqual(set(e['handle'] for e in entries),
                             set([description['core_eyetracker']]))
        self.assertEqual(len(log), 14)
        # The other two ways to a description; extra items are ignored.
        support.clear_calls()
        self.assertEqual(call('get_device', (found[1]['address'], 1, None)), (0, found[1]))
        self.assertEqual(calls()[0], {'function': 'velto_get_eyetracker',
                                      'text': found[1]['address']})
        self.assertEqual(call('get_device_data', (found[0]['core_eyetracker'],)), (0, found[0]))

    def test_capability_masks_become_names_in_bit_order_for_many_trackers(self):
        cases = [(0, ()), (7, ALL_CAPABILITIES), (8, ()), (1, ALL_CAPABILITIES[:1]),
                 (2, ALL_CAPABILITIES[1:2]), (4, ALL_CAPABILITIES[2:]),
                 (5, (ALL_CAPABILITIES[0], ALL_CAPABILITIES[2])), (15, ALL_CAPABILITIES),
                 (-1, ALL_CAPABILITIES), (-8, ())]
        support.configure({'trackers': [{'address': 't%d' % i, 'capabilities': mask}
                                        for i, (mask, _) in enumerate(cases)]})
        found = support.devices()
        self.assertEqual([d['address'] for d in found], ['t%d' % i for i in range(len(cases))])
        self.assertEqual(len(set(d['core_eyetracker'] for d in found)), len(cases))
        self.assertEqual([d['device_capabilities'] for d in found], [c[1] for c in cases])
        self.assertEqual(set(type(d['device_capabilities']) for d in found), set([tuple]))

    def test_an_empty_world_is_an_empty_list_after_the_size_query(self):
        support.world([])
        self.assertEqual(call('find_all_eyetrackers'), (0, []))
        self.assertEqual([(e['function'], e['capacity']) for e in calls()],
                         [('velto_find_all_eyetrackers', 0)] * 2)

    def test_which_failures_end_an_operation(self):
        first, second = support.handles()
        address = 'velto-tcp://192.168.71.20'
        # (operation, arguments, fault rules, result, library functions called)
        cases = [
            ('find_all_eyetrackers', (), [('velto_find_all_eyetrackers', 42, 0)], (42,),
             ['velto_find_all_eyetrackers']),
            # The list call failing, even with "too small", is not retried.
            ('find_all_eyetrackers', (), [('velto_find_all_eyetrackers', 15, 1)], (15,),
             ['velto_find_all_eyetrackers'] * 2),
            ('get_device', ('velto-tcp://nowhere',), [], (2,), ['velto_get_eyetracker']),
            ('get_device_data', (first,), [('velto_get_property', 5, 2)], (5,),
             ['velto_get_property'] * 3),
            ('get_device_data', (first,), [('velto_get_capabilities', 9, 0)], (9,),
             ['velto_get_property'] * 5 + ['velto_get_capabilities']),
        ]
        for name, args, rules, result, called in cases:
            support.clear_calls()
            for function, status, skip in rules:
                fail(function, status, skip, 1)
            self.assertEqual(call(name, args), result, (name, rules))
            self.assertEqual(functions(calls()), called, (name, rules))
        # Regression: a failed property query in find_all_eyetrackers showed stale text.
        # In a list or a description by address a failing query leaves its entry
        # empty: the address is what the device reports, not the argument.
        fail('velto_get_property', 6, 0, 1)
        status, description = call('get_device', (address,))
        self.assertEqual((status, description['address'], description['device_name']),
                         (0, '', 'Velto Lab A'))
        fail('velto_get_property', 6, 1, 1)
        fail('velto_get_capabilities', 6, 0, 1)
        status, found = call('find_all_eyetrackers')
        self.assertEqual(status, 0)
        self.assertEqual([(d['device_name'], d['device_capabilities']) for d in found],
                         [('', ()), ('Velto Nano', ())])
        self.assertEqual(found[1]['core_eyetracker'], second)

    def test_library_wide_calls(self):
        support.configure({'sdk_version': [2147483647, -2147483648, 0, -1]})
        self.assertEqual(call('get_sdk_version', ('ignored',)),
                         (0, '2147483647.-2147483648.0.-1'))
        self.assertIs(type(call('get_sdk_version')[1]), str)
        status, first = call('get_system_time_stamp')
        self.assertIs(type(first), LONG)
        self.assertGreaterEqual(call('get_system_time_stamp', (1, 2))[1], first)
        handle = support.handles()[0]
        support.clear_calls()
        self.assertEqual(call('report_stream_error', (handle, 'lost frames', 'extra')), (0,))
        self.assertEqual(call('terminate', (support.NOT_TEXT, None)), (0,))
        self.assertEqual(calls(), [{'function': 'velto_report_stream_error', 'handle': handle,
                                    'text': 'lost frames'}, {'function': 'velto_terminate'}])
        support.reset()


if __name__ == '__main__':
    unittest.main()
