#!/usr/bin/python
# -*- coding: utf-8 -*-
# Stopping processes, or setting their priority class, on a managed host
# with the kelvane library through the installed kelvanectl.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: control
short_description: Stop processes or set their priority class
version_added: 1.0.0
description:
  - Stops processes, stops processes with their direct children, or sets their priority class on the managed host
    with the kelvane library, through the C(kelvanectl) program installed there (C(kelvanectl --json)).
  - Targets are given by I(pids), or by I(name) (every process of that name).
  - The module first lists the processes (C(kelvanectl list)) and touches only the targets that are not yet in the
    desired state; C(changed) is true only when something was done (or, in check mode, would be).
  - A name that matches no process, and a pid that names no process for I(state), are already in the desired state
    (C(ok)). A target the library failed fails the task with the library's message, and the result lists every
    target's outcome.
options:
  pids:
    description:
      - The ids of the processes to act on.
      - With I(priority), a pid that names no process fails the task.
    type: list
    elements: int
  name:
    description:
      - Act on every process of this name, the image's file name as the library reports it (on Linux the file
        name of C(/proc/PID/exe), for example C(python3.11), not C(python3)).
      - The module's own process is never a target, nor the idle record (pid 0).
    type: str
  state:
    description:
      - C(stopped) stops each target at once (on Linux with SIGKILL).
      - C(tree_stopped) stops each target together with its direct children (grandchildren keep running).
      - A target the library could not stop counts as stopped when a listing taken right afterwards no longer
        shows it (it ended meanwhile, or a tree stop of its parent took it); its outcome is then C(gone).
      - With I(name) and C(tree_stopped), the targets go highest pid first, so that a child of the same name
        (usually younger) is stopped with its own children before its parent is.
    type: str
    choices: [stopped, tree_stopped]
  priority:
    description:
      - Sets this priority class. On Linux it is a nice value of every thread of the process
        (C(idle) 19, C(below_normal) 10, C(normal) 0, C(above_normal) -5, C(high) -10, C(realtime) -20).
      - A target already of this class is left as it is.
    type: str
    choices: [idle, below_normal, normal, above_normal, high, realtime]
attributes:
  check_mode:
    support: full
    description: Lists the processes that would be touched, in I(targets) with outcome C(would_change), and touches none.
  diff_mode:
    support: none
notes:
  - Exactly one of I(pids) and I(name), and exactly one of I(state) and I(priority), must be given.
  - The library never touches a process that was not named; on Linux each target is pinned (by a pidfd, or its
    C(/proc) entry and start time) before it is signalled or re-prioritised.
  - The library refuses to stop pid 1, the init process of the host's (or container's) PID namespace.
extends_documentation_fragment:
  - kelvane.process.kelvanectl
seealso:
  - module: kelvane.process.info
author:
  - The kelvane developers
'''

EXAMPLES = r'''
- name: Stop every runaway-job process on the batch hosts
  hosts: batch
  become: true
  tasks:
    - name: Stop runaway-job
      kelvane.process.control:
        name: runaway-job
        state: stopped

- name: Stop two processes with their direct children
  kelvane.process.control:
    pids: [4711, 4712]
    state: tree_stopped

- name: Give the backup processes the idle class
  kelvane.process.control:
    name: restic
    priority: idle

- name: See which processes would be stopped
  kelvane.process.control:
    name: runaway-job
    state: stopped
  check_mode: true
  register: would

- name: Show them
  ansible.builtin.debug:
    msg: "{{ would.targets | map(attribute='pid') | list }}"
'''

RETURN = r'''
targets:
  description: Every target with its outcome, in the order of I(pids) or of the listing (by pid).
  returned: always
  type: list
  elements: dict
  contains:
    pid:
      description: Process id.
      type: int
      sample: 4711
    name:
      description: The process's name in the listing, C(null) for a pid that names no process.
      type: str
      sample: runaway-job
    outcome:
      description:
        - C(changed) the library carried the action out;
          C(would_change) check mode, it would be carried out;
          C(unchanged) the target is already in the desired state (not running, or of that class), see I(message);
          C(gone) the library could not stop it, but it has ended all the same;
          C(failed) the library failed it, see I(message).
      type: str
      sample: changed
    message:
      description: The library's message for the target, or why it was left alone.
      type: str
      sample: The process was stopped.
msg:
  description: On failure, the library's message and the targets that failed.
  returned: failure
  type: str
  sample: "The process could not be stopped. Failed: pid 1 (init): The process could not be stopped."
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kelvane.process.plugins.module_utils.kelvanectl import (
    PRIORITY_CLASSES, Kelvanectl)


def target(pid, name, outcome, message):
    return {'pid': pid, 'name': name, 'outcome': outcome, 'message': message}


def choose_targets(module, processes):
    """(targets to act on, targets left alone): dicts as returned, the
    first with outcome None."""
    params = module.params
    act, leave = [], []
    wanted = PRIORITY_CLASSES.get(params['priority'])
    if params['name'] is not None:
        own = os.getpid()
        named = sorted((p for p in processes if p['name'] == params['name'] and p['pid'] not in (0, own)),
                       key=lambda p: p['pid'])
    else:
        by_pid = dict((p['pid'], p) for p in processes)
        named = []
        for pid in params['pids']:
            if any(t['pid'] == pid for t in named + leave):
                continue
            if pid in by_pid:
                named.append(by_pid[pid])
            elif wanted is None:
                leave.append(target(pid, None, 'unchanged', 'no such process'))
            else:
                leave.append(target(pid, None, 'failed', 'no such process'))
    for process in named:
        current = process['priority']
        if wanted is not None and current is not None and current['value'] == wanted:
            leave.append(target(process['pid'], process['name'], 'unchanged', 'already %s' % params['priority']))
        else:
            act.append(target(process['pid'], process['name'], None, None))
    return act, leave


def carry_out(module, ctl, act):
    """Runs the action on `act` (filling in each outcome and message);
    returns the library's failure summary, or None when nothing failed."""
    params = module.params
    summary = None
    if params['priority'] is not None:
        for t in act:
            targets, result = ctl.set_priority(t['pid'], params['priority'])
            fill_outcome(t, targets[0] if targets else None, result)
            if t['outcome'] == 'failed' and summary is None:
                summary = result.get('message')
        return summary
    subcommand = 'stop' if params['state'] == 'stopped' else 'stop-tree'
    if subcommand == 'stop-tree' and params['name'] is not None:
        # Highest pid first: a process's children of the same name are
        # usually younger, and go first with their own children, which a
        # tree stop of the parent would leave behind.
        act = sorted(act, key=lambda t: -t['pid'])
    targets, result = ctl.control(subcommand, [t['pid'] for t in act])
    for i, t in enumerate(act):
        fill_outcome(t, targets[i] if i < len(targets) else None, result)
    failed = [t for t in act if t['outcome'] == 'failed']
    if not failed:
        return None
    # A target that has ended all the same is stopped: a tree stop of its
    # parent took it, or it ended between the listing and the stop. Found
    # by pid and name, so that a reused id still counts as a failure only
    # when the new process has the same name.
    running = set((p['pid'], p['name']) for p in ctl.processes())
    for t in failed:
        if (t['pid'], t['name']) not in running:
            t['outcome'] = 'gone'
            t['message'] = '%s (it has ended all the same)' % t['message']
    if any(t['outcome'] == 'failed' for t in act):
        return result.get('message')
    return None


def fill_outcome(t, response_target, result):
    if response_target is None:
        t['outcome'] = 'failed'
        t['message'] = result.get('message') or 'the library wrote no response'
        return
    outcome = response_target.get('result') or {}
    t['outcome'] = 'changed' if outcome.get('code') == 0 else 'failed'
    t['message'] = outcome.get('message')


def main():
    module = AnsibleModule(
        argument_spec=dict(
            pids=dict(type='list', elements='int'),
            name=dict(type='str'),
            state=dict(type='str', choices=['stopped', 'tree_stopped']),
            priority=dict(type='str', choices=list(PRIORITY_CLASSES)),
            executable=dict(type='path'),
        ),
        mutually_exclusive=[('pids', 'name'), ('state', 'priority')],
        required_one_of=[('pids', 'name'), ('state', 'priority')],
        supports_check_mode=True,
    )
    ctl = Kelvanectl(module)
    act, leave = choose_targets(module, ctl.processes())

    summary = None
    if module.check_mode:
        for t in act:
            t['outcome'] = 'would_change'
            t['message'] = 'check mode'
    elif act:
        summary = carry_out(module, ctl, act)

    targets = sorted(act + leave, key=order_of(module))
    changed = any(t['outcome'] in ('changed', 'would_change') for t in targets)
    failed = [t for t in targets if t['outcome'] == 'failed']
    if failed:
        details = '; '.join('pid %s (%s): %s' % (t['pid'], t['name'] or 'no process', t['message']) for t in failed)
        msg = '%s Failed: %s' % (summary, details) if summary else 'Failed: %s' % details
        module.fail_json(msg=msg, changed=changed, targets=targets)
    module.exit_json(changed=changed, targets=targets)


def order_of(module):
    """Targets in the order of `pids`, or by pid for a name."""
    pids = module.params['pids']
    if pids is None:
        return lambda t: t['pid']
    return lambda t: pids.index(t['pid'])


if __name__ == '__main__':
    main()
