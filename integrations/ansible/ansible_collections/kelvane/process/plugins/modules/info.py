#!/usr/bin/python
# -*- coding: utf-8 -*-
# The processes of a managed host, or the modules of some of them, from the
# kelvane library through the installed kelvanectl.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r'''
---
module: info
short_description: List the processes of a host, or the modules of some of them
version_added: 1.0.0
description:
  - Lists the processes of the managed host with the kelvane library, through the C(kelvanectl) program installed
    there (C(kelvanectl list --json)), and returns them as structured results.
  - Filters choose processes by exact name, by a name pattern and by user; all filters given must match.
  - With I(pids), returns the loaded modules of those processes instead (C(kelvanectl modules --json)).
  - The module only reads; it changes nothing and runs the same in check mode.
options:
  name:
    description:
      - Only processes whose name is exactly this. The name is the image's file name as the library reports it
        (on Linux the file name of C(/proc/PID/exe), for example C(python3.11), not C(python3)).
    type: str
  name_pattern:
    description:
      - Only processes whose name matches this Python regular expression (searched anywhere in the name; anchor
        it with C(^) and C($) for a whole-name match).
    type: str
  user:
    description:
      - Only processes of this account (the owner's name as the library reports it).
    type: str
  modules:
    description:
      - Include each listed process's loaded modules (the image first) in the result.
    type: bool
    default: false
  pids:
    description:
      - Return the loaded modules of these processes instead of the listing.
      - A pid for which the library finds no process (none of that id, or one whose modules cannot be read) is
        left out of I(processes) and named in I(missing_pids); that is not a failure.
      - Excludes I(name), I(name_pattern), I(user) and I(modules).
    type: list
    elements: int
attributes:
  check_mode:
    support: full
    description: The module only reads.
  diff_mode:
    support: none
    description: Nothing is changed, so there is no difference to show.
notes:
  - One listing takes at least the library's CPU sampling window (a quarter of a second).
  - The idle record (pid 0, C(System Idle Process)) is part of the library's listing; its CPU figure is what all
    the processes leave of 100 percent.
extends_documentation_fragment:
  - kelvane.process.kelvanectl
seealso:
  - module: kelvane.process.control
author:
  - The kelvane developers
'''

EXAMPLES = r'''
- name: Every process of the host
  kelvane.process.info:
  register: listing

- name: Show the largest process
  ansible.builtin.debug:
    msg: "{{ (listing.processes | sort(attribute='memory', reverse=true) | first).name }}"

- name: The sshd processes of root
  kelvane.process.info:
    name: sshd
    user: root
  register: sshd

- name: Fail when sshd is not running
  ansible.builtin.assert:
    that: sshd.processes | length > 0
    fail_msg: sshd is not running on {{ inventory_hostname }}

- name: Java processes, with their modules
  kelvane.process.info:
    name_pattern: '^java'
    modules: true
  register: java

- name: The modules of two processes
  kelvane.process.info:
    pids: [4711, 4712]
  register: loaded
'''

RETURN = r'''
processes:
  description:
    - The processes that match, in the library's order (by pid), each with the fields below.
    - With I(pids), only C(pid) and C(modules), one entry per process found.
  returned: always
  type: list
  elements: dict
  contains:
    pid:
      description: Process id.
      type: int
      sample: 4711
    name:
      description: Image name.
      type: str
      sample: nginx
    path:
      description: Full path of the image.
      type: str
      sample: /usr/sbin/nginx
    command_line:
      description: The command line (on Linux the arguments joined by one space, cut to 260 characters).
      type: str
      sample: "nginx: worker process"
    user:
      description: The owning account.
      type: str
      sample: www-data
    cpu:
      description: CPU usage in whole percent of all the machine's CPU time over the sampling window.
      type: int
      sample: 3
    memory:
      description: Working set (on Linux the resident set) in bytes.
      type: int
      sample: 12897484
    priority:
      description:
        - The priority class, C(null) when it could not be read.
        - C(class) is one of C(idle), C(below_normal), C(normal), C(above_normal), C(high), C(realtime);
          C(value) is the library's constant.
      type: dict
      sample: {"class": "normal", "value": 32}
    file_size:
      description: Size of the image file in bytes.
      type: int
      sample: 1234568
    publisher:
      description: CompanyName of the image's version resource (empty for ELF files).
      type: str
      sample: ""
    description:
      description: FileDescription of the image's version resource.
      type: str
      sample: ""
    product_version:
      description: ProductVersion of the image's version resource.
      type: str
      sample: ""
    file_version:
      description: FileVersion of the image's version resource.
      type: str
      sample: ""
    modules:
      description: Loaded modules, the image first; with I(modules=true) or I(pids) only.
      type: list
      elements: dict
      returned: when I(modules=true) or I(pids) is given
      sample:
        - name: nginx
          path: /usr/sbin/nginx
          publisher: ""
          description: ""
          product_version: ""
          modify_time: "2024-01-02 03:04:05"
missing_pids:
  description: The pids of I(pids) for which the library found no process.
  returned: when I(pids) is given
  type: list
  elements: int
  sample: [4712]
'''

import re

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kelvane.process.plugins.module_utils.kelvanectl import Kelvanectl


def listing(module, ctl):
    pattern = None
    if module.params['name_pattern'] is not None:
        try:
            pattern = re.compile(module.params['name_pattern'])
        except re.error as e:
            module.fail_json(msg='name_pattern is not a regular expression: %s' % e)
    name = module.params['name']
    user = module.params['user']
    chosen = []
    for process in ctl.processes(with_modules=module.params['modules']):
        process_name = process['name'] or ''
        if name is not None and process_name != name:
            continue
        if pattern is not None and not pattern.search(process_name):
            continue
        if user is not None and process['user'] != user:
            continue
        chosen.append(process)
    module.exit_json(changed=False, processes=chosen)


def modules_of(module, ctl):
    pids = []
    for pid in module.params['pids']:
        if pid not in pids:
            pids.append(pid)
    if not pids:
        module.exit_json(changed=False, processes=[], missing_pids=[])
    found, result = ctl.modules_of(pids)
    if result.get('code') != 0:
        # The library fails the call when it did not find every process,
        # and names those it did not find without modules: an answer here.
        found = [p for p in found if p['modules']]
        if len(found) == len(pids):
            ctl.fail_listing({'result': result}, 'The module listing')
    found_pids = set(p['pid'] for p in found)
    missing = [pid for pid in pids if pid not in found_pids]
    module.exit_json(changed=False, processes=found, missing_pids=missing)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            name=dict(type='str'),
            name_pattern=dict(type='str'),
            user=dict(type='str'),
            modules=dict(type='bool', default=False),
            pids=dict(type='list', elements='int'),
            executable=dict(type='path'),
        ),
        mutually_exclusive=[('pids', 'name'), ('pids', 'name_pattern'), ('pids', 'user'), ('pids', 'modules')],
        supports_check_mode=True,
    )
    ctl = Kelvanectl(module)
    if module.params['pids'] is not None:
        modules_of(module, ctl)
    listing(module, ctl)


if __name__ == '__main__':
    main()
