#!/usr/bin/python3
# The modules of the kelvane.process collection, with their arguments as
# Ansible hands them over (JSON), against fake_kelvanectl.py:
# which targets are chosen and in what order, outcomes, changed, check mode,
# failures and their messages, and what reaches kelvanectl. No process is
# touched. Usage: module_test.py COLLECTIONS_DIR
import contextlib
import importlib
import io
import json
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
if __name__ == '__main__':
    sys.path.insert(0, os.path.abspath(sys.argv.pop(1)))

from ansible.module_utils import basic  # noqa: E402 (after the collections' path)

SLEEPERS = [{'pid': 40, 'name': 'sleeper'}, {'pid': 12, 'name': 'sleeper'}, {'pid': 30, 'name': 'other'}]


class ModuleTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.calls_file = os.path.join(self.dir.name, 'calls')

    def tearDown(self):
        self.dir.cleanup()

    def run_module(self, module, scenario, check_mode=False, **params):
        """(failed, result) of one run of `module` with `params`, in this
        process as Ansible's own module tests run them; calls() tells what
        this run asked of kelvanectl."""
        if os.path.exists(self.calls_file):
            os.remove(self.calls_file)
        scenario_file = os.path.join(self.dir.name, 'scenario.json')
        with open(scenario_file, 'w') as f:
            json.dump(scenario, f)
        os.environ.update(KELVANE_FAKE_SCENARIO=scenario_file, KELVANE_FAKE_CALLS=self.calls_file)
        params['executable'] = os.path.join(HERE, 'fake_kelvanectl.py')
        params['_ansible_check_mode'] = check_mode
        basic._ANSIBLE_ARGS = json.dumps({'ANSIBLE_MODULE_ARGS': params}).encode('utf-8')
        code = importlib.import_module('ansible_collections.kelvane.process.plugins.modules.' + module)
        out = io.StringIO()
        with contextlib.redirect_stdout(out), self.assertRaises(SystemExit) as exit:
            code.main()
        result = json.loads(out.getvalue())
        self.assertEqual(exit.exception.code != 0, bool(result.get('failed')), result)
        return bool(result.get('failed')), result

    def calls(self):
        if not os.path.exists(self.calls_file):
            return []
        with open(self.calls_file) as f:
            return [json.loads(line) for line in f]

    def outcomes(self, result):
        return [(t['pid'], t['outcome']) for t in result['targets']]


class ControlTest(ModuleTest):
    def test_stop_by_name_touches_only_that_name(self):
        failed, r = self.run_module('control', {'lists': [SLEEPERS]}, name='sleeper', state='stopped')
        self.assertFalse(failed)
        self.assertTrue(r['changed'])
        self.assertEqual(self.outcomes(r), [(12, 'changed'), (40, 'changed')])
        self.assertEqual(r['targets'][0]['message'], 'The process was stopped.')
        self.assertEqual(self.calls(), [['list'], ['stop', '12', '40']])

    def test_check_mode_names_the_targets_and_calls_no_control(self):
        failed, r = self.run_module('control', {'lists': [SLEEPERS]}, check_mode=True, name='sleeper',
                                    state='tree_stopped')
        self.assertFalse(failed)
        self.assertTrue(r['changed'])
        self.assertEqual(self.outcomes(r), [(12, 'would_change'), (40, 'would_change')])
        self.assertEqual(self.calls(), [['list']])

    def test_a_name_that_matches_nothing_is_ok(self):
        failed, r = self.run_module('control', {'lists': [SLEEPERS]}, name='nothing', state='stopped')
        self.assertEqual((failed, r['changed'], r['targets']), (False, False, []))
        self.assertEqual(self.calls(), [['list']])

    def test_the_module_itself_and_the_idle_record_are_never_targets(self):
        listed = [{'pid': 0, 'name': 'python3'}, {'self': True}, {'pid': 99, 'name': 'python3'}]
        failed, r = self.run_module('control', {'lists': [listed]}, name='python3', state='stopped')
        self.assertEqual(self.outcomes(r), [(99, 'changed')])
        self.assertEqual(self.calls()[1], ['stop', '99'])

    def test_a_failed_target_fails_the_task_with_every_outcome(self):
        failed, r = self.run_module('control', {'lists': [SLEEPERS], 'fail': [40]}, pids=[40, 30, 77],
                                    state='stopped')
        self.assertTrue(failed)
        self.assertTrue(r['changed'])  # 30 was stopped
        self.assertEqual(self.outcomes(r), [(40, 'failed'), (30, 'changed'), (77, 'unchanged')])
        self.assertEqual(r['targets'][2]['message'], 'no such process')
        self.assertEqual(r['msg'], 'The process could not be stopped. '
                                   'Failed: pid 40 (sleeper): The process could not be stopped.')
        # The failure was checked against a second listing (40 still runs).
        self.assertEqual(self.calls(), [['list'], ['stop', '40', '30'], ['list']])

    def test_a_target_that_ended_all_the_same_is_gone_not_failed(self):
        after = [p for p in SLEEPERS if p['pid'] != 40]
        failed, r = self.run_module('control', {'lists': [SLEEPERS, after], 'fail': [40]}, pids=[12, 40],
                                    state='tree_stopped')
        self.assertFalse(failed)
        self.assertEqual(self.outcomes(r), [(12, 'changed'), (40, 'gone')])
        self.assertIn('ended all the same', r['targets'][1]['message'])
        # A reused id with another name is no longer the target either.
        reused = after + [{'pid': 40, 'name': 'newcomer'}]
        failed, r = self.run_module('control', {'lists': [SLEEPERS, reused], 'fail': [40]}, pids=[40],
                                    state='stopped')
        self.assertFalse(failed)
        self.assertEqual(self.outcomes(r), [(40, 'gone')])

    def test_tree_stops_by_name_go_highest_pid_first(self):
        self.run_module('control', {'lists': [SLEEPERS]}, name='sleeper', state='tree_stopped')
        self.assertEqual(self.calls()[1], ['stop-tree', '40', '12'])
        # Given pids keep their order.
        self.run_module('control', {'lists': [SLEEPERS]}, pids=[12, 40], state='tree_stopped')
        self.assertEqual(self.calls()[1], ['stop-tree', '12', '40'])

    def test_priority_only_where_the_class_differs(self):
        listed = [{'pid': 5, 'name': 'w', 'priority': 16384}, {'pid': 6, 'name': 'w', 'priority': 32},
                  {'pid': 7, 'name': 'w', 'priority': None}]
        failed, r = self.run_module('control', {'lists': [listed]}, name='w', priority='below_normal')
        self.assertFalse(failed)
        self.assertEqual(self.outcomes(r), [(5, 'unchanged'), (6, 'changed'), (7, 'changed')])
        self.assertEqual(r['targets'][0]['message'], 'already below_normal')
        self.assertEqual(self.calls()[1:], [['priority', '6', 'below-normal'], ['priority', '7', 'below-normal']])

        failed, r = self.run_module('control', {'lists': [listed]}, name='w', priority='below_normal',
                                    check_mode=True)
        self.assertEqual(self.outcomes(r), [(5, 'unchanged'), (6, 'would_change'), (7, 'would_change')])

    def test_priority_of_a_missing_pid_fails(self):
        failed, r = self.run_module('control', {'lists': [SLEEPERS], 'fail': [12]}, pids=[77, 12, 30],
                                    priority='idle')
        self.assertTrue(failed)
        self.assertEqual(self.outcomes(r), [(77, 'failed'), (12, 'failed'), (30, 'changed')])
        self.assertEqual(r['msg'], 'The priority of the process could not be set. Failed: pid 77 (no process): '
                                   'no such process; pid 12 (sleeper): The priority of the process could not be set.')

    def test_arguments_are_checked_first(self):
        for params in [{'name': 'x'}, {'state': 'stopped'}, {'name': 'x', 'pids': [1], 'state': 'stopped'},
                       {'name': 'x', 'state': 'stopped', 'priority': 'idle'}, {'name': 'x', 'priority': 'warp'}]:
            failed, r = self.run_module('control', {'lists': [SLEEPERS]}, **params)
            self.assertTrue(failed, params)
        self.assertEqual(self.calls(), [])

    def test_a_kelvanectl_that_gives_no_result_fails_with_its_error(self):
        failed, r = self.run_module('control', {'exit': 3}, name='x', state='stopped')
        self.assertTrue(failed)
        self.assertEqual(r['msg'], 'kelvanectl gave no result (exit status 3): '
                                   'kelvanectl: cannot load the library: no such file')
        self.assertEqual(r['rc'], 3)


class InfoTest(ModuleTest):
    LISTED = [{'pid': 1, 'name': 'init'}, {'pid': 5, 'name': 'nginx', 'user': 'www-data'},
              {'pid': 6, 'name': 'nginx', 'user': 'root'}, {'pid': 7, 'name': 'nginx-debug', 'user': 'www-data'}]

    def pids(self, result):
        return [p['pid'] for p in result['processes']]

    def test_filters(self):
        scenario = {'lists': [self.LISTED]}
        self.assertEqual(self.pids(self.run_module('info', scenario)[1]), [1, 5, 6, 7])
        self.assertEqual(self.pids(self.run_module('info', scenario, name='nginx')[1]), [5, 6])
        self.assertEqual(self.pids(self.run_module('info', scenario, name_pattern='^ngi')[1]), [5, 6, 7])
        self.assertEqual(self.pids(self.run_module('info', scenario, name_pattern='^ngi', user='www-data')[1]),
                         [5, 7])
        failed, r = self.run_module('info', scenario, name_pattern='(')
        self.assertTrue(failed)
        self.assertIn('name_pattern is not a regular expression', r['msg'])

    def test_the_listing_with_snake_case_keys(self):
        failed, r = self.run_module('info', {'lists': [[{'pid': 5, 'name': 'w', 'priority': 16384}]]})
        p = r['processes'][0]
        self.assertEqual(sorted(p), sorted(['pid', 'name', 'path', 'command_line', 'user', 'cpu', 'memory',
                                            'priority', 'file_size', 'publisher', 'description',
                                            'product_version', 'file_version']))
        self.assertEqual(p['priority'], {'class': 'below_normal', 'value': 16384})
        failed, r = self.run_module('info', {'lists': [[{'pid': 5, 'name': 'w'}]]}, check_mode=True, modules=True)
        self.assertFalse(r['changed'])
        self.assertEqual(r['processes'][0]['modules'][0]['modify_time'], '2024-01-02 03:04:05')

    def test_modules_of_pids(self):
        failed, r = self.run_module('info', {'lists': [self.LISTED]}, pids=[5, 99, 5, 6])
        self.assertFalse(failed)
        self.assertEqual(self.pids(r), [5, 6])
        self.assertEqual(r['missing_pids'], [99])
        self.assertEqual(self.calls(), [['modules', '5', '99', '6']])
        failed, r = self.run_module('info', {'lists': [self.LISTED]}, pids=[5], name='x')
        self.assertTrue(failed)


if __name__ == '__main__':
    unittest.main(verbosity=1)
