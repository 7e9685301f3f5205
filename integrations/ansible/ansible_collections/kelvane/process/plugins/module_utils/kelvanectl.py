# -*- coding: utf-8 -*-
# The one place where the modules of this collection meet the managed host:
# running the installed kelvanectl with --json and reading its documents.
# kelvanectl loads the kelvane library and calls it as any host would; the
# modules never touch a process themselves.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

# Priority classes by the names the modules take and return, with the
# constants the library uses.
PRIORITY_CLASSES = {
    'idle': 64,
    'below_normal': 16384,
    'normal': 32,
    'above_normal': 32768,
    'high': 128,
    'realtime': 256,
}
_CLASS_NAMES = dict((value, name) for name, value in PRIORITY_CLASSES.items())

# kelvanectl's argument for each priority class.
_CLASS_ARGUMENTS = dict((name, name.replace('_', '-')) for name in PRIORITY_CLASSES)


def priority_class(priority):
    """kelvanectl's {"class", "value"} as the modules return it: the class
    named with underscores (a constant that is no class keeps its number as
    its name), or None when the library reported none."""
    if not priority or priority.get('value') is None:
        return None
    value = priority['value']
    return {'class': _CLASS_NAMES.get(value, str(value)), 'value': value}


def module_facts(module):
    return {
        'name': module.get('name'),
        'path': module.get('path'),
        'publisher': module.get('publisher'),
        'description': module.get('description'),
        'product_version': module.get('productVersion'),
        'modify_time': module.get('modifyTime'),
    }


def process_facts(process, with_modules):
    """A process of kelvanectl's listing with the keys the modules return."""
    facts = {
        'pid': process.get('pid'),
        'name': process.get('name'),
        'path': process.get('path'),
        'command_line': process.get('commandLine'),
        'user': process.get('user'),
        'cpu': process.get('cpu'),
        'memory': process.get('memory'),
        'priority': priority_class(process.get('priority')),
        'file_size': process.get('fileSize'),
        'publisher': process.get('publisher'),
        'description': process.get('description'),
        'product_version': process.get('productVersion'),
        'file_version': process.get('fileVersion'),
    }
    if with_modules:
        facts['modules'] = [module_facts(m) for m in process.get('modules') or []]
    return facts


class Kelvanectl:
    """Runs kelvanectl for an AnsibleModule; every way it can fail ends the
    module with fail_json, carrying the command, its exit status and its
    error output."""

    def __init__(self, module):
        self.module = module
        self.path = module.params.get('executable') or module.get_bin_path('kelvanectl', required=True)

    def run(self, args):
        """Runs kelvanectl ARGS --json; returns (exit status, document)."""
        command = [self.path] + list(args) + ['--json']
        rc, out, err = self.module.run_command(command)
        try:
            document = json.loads(out)
        except ValueError:
            document = None
        if not isinstance(document, dict) or not isinstance(document.get('result'), dict):
            self.module.fail_json(
                msg='kelvanectl gave no result (exit status %d): %s' % (rc, err.strip() or out.strip()),
                cmd=command, rc=rc, stderr=err)
        return rc, document

    def fail_listing(self, document, what):
        result = document['result']
        self.module.fail_json(
            msg='%s failed: %s' % (what, result.get('message') or 'the library wrote no response'),
            library_result=result)

    def processes(self, with_modules=False):
        """Every process of one listing (kelvanectl list); a failed listing
        fails the module with the library's message."""
        rc, document = self.run(['list'])
        if document['result'].get('code') != 0:
            self.fail_listing(document, 'The process listing')
        return [process_facts(p, with_modules) for p in document.get('processes') or []]

    def modules_of(self, pids):
        """(processes with their modules, the library's result) for `pids`
        (kelvanectl modules). The library lists the processes it found and
        fails the call when it did not find them all."""
        rc, document = self.run(['modules'] + [str(pid) for pid in pids])
        found = [{'pid': p.get('pid'), 'modules': [module_facts(m) for m in p.get('modules') or []]}
                 for p in document.get('processes') or []]
        return found, document['result']

    def control(self, subcommand, args):
        """(targets of the response, the library's result) of a control
        subcommand: each target with "pid" and "result": {"code", "message"}
        in request order."""
        rc, document = self.run([subcommand] + [str(a) for a in args])
        return document.get('targets') or [], document['result']

    def set_priority(self, pid, class_name):
        return self.control('priority', [pid, _CLASS_ARGUMENTS[class_name]])
