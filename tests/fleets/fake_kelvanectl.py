#!/usr/bin/python3
# A stand-in for kelvanectl --json in the module tests (module_test.py): it
# answers from a scenario and touches no process.
#
#   KELVANE_FAKE_SCENARIO  a JSON file:
#     "lists":   process lists answering the successive "list" calls (the
#                last one answers every later call); each process is
#                {"pid", "name", "user", "priority"} (a class constant or
#                null), the rest filled in; "self": true stands for the
#                calling process (its pid, named "python3")
#     "fail":    pids whose control or module request fails
#     "exit":    when set, exit with this status and print nothing
#   KELVANE_FAKE_CALLS     each call's arguments appended as a JSON line
import json
import os
import sys

MESSAGES = {
    'stop': ('The process was stopped.', 'The process could not be stopped.'),
    'stop-tree': ('The process and its child processes were stopped.',
                  'The process and its child processes could not be stopped.'),
    'priority': ('The priority of the process was set.', 'The priority of the process could not be set.'),
}
CLASSES = {'idle': 64, 'below-normal': 16384, 'normal': 32, 'above-normal': 32768, 'high': 128, 'realtime': 256}
NAMES = dict((v, k) for k, v in CLASSES.items())


def result(code, message):
    return {'code': code, 'message': message, 'dateTime': '2009-07-27 14:05:09'}


def process(p):
    if p.get('self'):
        p = {'pid': os.getppid(), 'name': 'python3', 'user': 'root', 'priority': 32}
    priority = p.get('priority', 32)
    return {'pid': p['pid'], 'name': p['name'], 'path': '/usr/bin/' + p['name'],
            'commandLine': p['name'], 'user': p.get('user', 'root'), 'cpu': 0, 'memory': 4096,
            'priority': None if priority is None else {'class': NAMES.get(priority, str(priority)),
                                                       'value': priority},
            'fileSize': 1, 'publisher': '', 'description': '', 'productVersion': '', 'fileVersion': '',
            'modules': [{'name': p['name'], 'path': '/usr/bin/' + p['name'], 'publisher': '',
                         'description': '', 'productVersion': '', 'modifyTime': '2024-01-02 03:04:05'}]}


def main():
    args = [a for a in sys.argv[1:] if a != '--json']
    scenario = json.load(open(os.environ['KELVANE_FAKE_SCENARIO']))
    calls = os.environ['KELVANE_FAKE_CALLS']
    with open(calls, 'a') as f:
        f.write(json.dumps(args) + '\n')
    if 'exit' in scenario:
        print('kelvanectl: cannot load the library: no such file', file=sys.stderr)
        sys.exit(scenario['exit'])
    fail = set(scenario.get('fail', []))
    command = args[0]
    if command == 'list':
        with open(calls) as f:
            count = sum(1 for line in f if json.loads(line)[0] == 'list')
        lists = scenario['lists']
        listed = lists[min(count, len(lists)) - 1]
        doc = {'command': 'ZEV_GetProcessList_KLV', 'processes': [process(p) for p in listed],
               'result': result(0, 'Process information was retrieved.')}
    elif command == 'modules':
        pids = [int(a) for a in args[1:]]
        known = set(p['pid'] for p in scenario['lists'][0])
        doc = {'command': 'ZEV_GetProcessModule_KLV',
               'processes': [{'pid': pid, 'modules': process({'pid': pid, 'name': 'x'})['modules']
                              if pid in known and pid not in fail else []} for pid in pids]}
        ok = all(pid in known and pid not in fail for pid in pids)
        doc['result'] = result(0 if ok else -1, 'Process information was retrieved.' if ok
                               else 'Process information could not be retrieved.')
    else:
        done, failed = MESSAGES[command]
        pids = [int(args[1])] if command == 'priority' else [int(a) for a in args[1:]]
        priority = CLASSES[args[2]] if command == 'priority' else None
        targets = [{'pid': pid, 'priority': None if priority is None else {'class': args[2], 'value': priority},
                    'result': {'code': 1 if pid in fail else 0, 'message': failed if pid in fail else done}}
                   for pid in pids]
        code = 1 if any(pid in fail for pid in pids) else 0
        doc = {'command': command, 'targets': targets, 'result': result(code, failed if code else done)}
    print(json.dumps(doc, indent=2))
    sys.exit(0 if doc['result']['code'] == 0 else (1 if doc['result']['code'] == 1 else 2))


if __name__ == '__main__':
    main()
