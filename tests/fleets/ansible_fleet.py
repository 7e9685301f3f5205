#!/usr/bin/python3
# The kelvane.process collection with Debian's ansible-core:
#   1. ansible-doc renders both modules (options, attributes, examples,
#      return values) without a warning; the manual's example playbook
#      passes ansible-playbook --syntax-check;
#   2. three hosts, each a PID namespace of its own below this one, reached
#      through the local connection with an interpreter that enters the
#      host's namespaces; each holds three kvsleeper and two kvworker
#      processes under an init that reaps them;
#   3. fleet_playbook.yml lists the sleepers, stops them by name in check
#      mode (none stops), for real (all gone, changed), again (ok, not
#      changed), sets the workers' priority (the nice value changes), stops
#      a process tree whose child of the same name goes with its parent, and
#      fails on a target the library refuses; every host ends ok;
#   4. seen from here, afterwards: no sleeper left, the workers at nice 10.
# The modules find kelvanectl on the PATH, as they find the installed one.
# Usage (as init of a PID namespace of its own, see scripts/test-fleets):
#   ansible_fleet.py KELVANECTL COLLECTIONS_DIR PLAYBOOK
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

from fleet_support import (check, fail, image_name, log, require_own_pid_namespace, run, sleeper_program,
                           stop_started, wait_for)

HOSTS = ['alpha', 'beta', 'gamma']
SLEEPERS = 3
WORKERS = 2


def children(pid):
    try:
        with open('/proc/%d/task/%d/children' % (pid, pid)) as f:
            return [int(c) for c in f.read().split()]
    except OSError:
        return []


def nice_of(pid):
    with open('/proc/%d/stat' % pid) as f:
        return int(f.read().rsplit(')', 1)[1].split()[16])


def start_host(scratch, name):
    """A host: a PID namespace whose init (a shell that reaps) runs the
    sleepers and workers for two minutes. Returns (unshare process, the
    init's pid here)."""
    # kvtree: a shell running a shell of the same name, which runs sleep.
    script = ('for i in %s; do kvsleeper 600 & done; for i in %s; do kvworker 600 & done; '
              'kvtree -c \'kvtree -c "sleep 600; true" & wait\' & wait'
              % (' '.join('x' * SLEEPERS), ' '.join('x' * WORKERS)))
    env = dict(os.environ, PATH='%s:/usr/bin:/bin' % os.path.join(scratch, 'bin'))
    host = subprocess.Popen(['unshare', '--pid', '--fork', '--mount-proc', '/bin/sh', '-c', script], env=env)
    wait_for(lambda: len(children(host.pid)) == 1, 'the init of host %s' % name)
    init = children(host.pid)[0]

    def named_children(pid):
        named = {}
        for child in children(pid):
            named.setdefault(image_name(child), []).append(child)
        return named

    def ready():
        top = named_children(init)
        if sorted((k, len(v)) for k, v in top.items() if k is not None) != \
                [(b'kvsleeper', SLEEPERS), (b'kvtree', 1), (b'kvworker', WORKERS)]:
            return False
        child = named_children(top[b'kvtree'][0]).get(b'kvtree')
        return child is not None and list(named_children(child[0])) == [b'sleep']
    wait_for(ready, 'the processes of host %s' % name)
    return host, init


def main():
    require_own_pid_namespace()
    kelvanectl, collections, playbook = sys.argv[1], sys.argv[2], sys.argv[3]
    scratch = tempfile.mkdtemp(prefix='kelvane-ansible-')
    started = []
    env = dict(os.environ, HOME=scratch, LC_ALL='C.UTF-8', ANSIBLE_CONFIG=os.path.join(scratch, 'ansible.cfg'),
               ANSIBLE_COLLECTIONS_PATH=collections, ANSIBLE_LOCAL_TEMP=os.path.join(scratch, 'local-tmp'),
               ANSIBLE_REMOTE_TEMP=os.path.join(scratch, 'remote-tmp'), ANSIBLE_NOCOLOR='1',
               ANSIBLE_RETRY_FILES_ENABLED='0', ANSIBLE_STDOUT_CALLBACK='default',
               ANSIBLE_DISPLAY_SKIPPED_HOSTS='0', ANSIBLE_DEPRECATION_WARNINGS='1',
               ANSIBLE_INTERPRETER_PYTHON='/usr/bin/python3', ANSIBLE_PIPELINING='1')
    open(env['ANSIBLE_CONFIG'], 'w').close()
    try:
        # --- ansible-doc --------------------------------------------------
        for module in ['kelvane.process.info', 'kelvane.process.control']:
            rc, out, err = run(['ansible-doc', '-t', 'module', module], env=env)
            check(rc == 0 and err == '', 'ansible-doc %s (%d): %s' % (module, rc, err))
            for heading in ['OPTIONS', 'ATTRIBUTES', 'EXAMPLES', 'RETURN VALUES', 'executable']:
                check(heading in out, 'ansible-doc %s shows no %s' % (module, heading))
        log('ansible-doc renders kelvane.process.info and kelvane.process.control')
        example = os.path.join(collections, 'examples', 'stop-by-name.yml')
        with open(os.path.join(scratch, 'batch'), 'w') as f:
            f.write('[batch]\nbatch1 ansible_connection=local\n')
        rc, out, err = run(['ansible-playbook', '--syntax-check', '-i', os.path.join(scratch, 'batch'), example],
                           env=env)
        check(rc == 0 and '[WARNING]' not in out + err, 'the example playbook (%d): %s%s' % (rc, out, err))

        # --- the hosts ----------------------------------------------------
        bin_dir = os.path.join(scratch, 'bin')
        os.mkdir(bin_dir)
        sleeper_program(bin_dir, 'kvsleeper')
        sleeper_program(bin_dir, 'kvworker')
        shutil.copyfile('/bin/dash', os.path.join(bin_dir, 'kvtree'))
        os.chmod(os.path.join(bin_dir, 'kvtree'), 0o755)
        os.symlink(os.path.abspath(kelvanectl), os.path.join(bin_dir, 'kelvanectl'))
        inits = {}
        inventory = ['[fleet]']
        for name in HOSTS:
            host, init = start_host(scratch, name)
            started.append(host)
            inits[name] = init
            # The host's Python: in the host's PID and mount namespaces
            # (its own /proc), with the PATH on which kelvanectl is found.
            interpreter = os.path.join(scratch, 'python-%s' % name)
            with open(interpreter, 'w') as f:
                f.write('#!/bin/sh\nPATH=%s:/usr/bin:/bin\nexport PATH\n'
                        'exec nsenter --target %d --pid --mount -- /usr/bin/python3 "$@"\n' % (bin_dir, init))
            os.chmod(interpreter, 0o755)
            inventory.append('%s ansible_connection=local ansible_python_interpreter=%s' % (name, interpreter))
        with open(os.path.join(scratch, 'inventory'), 'w') as f:
            f.write('\n'.join(inventory) + '\n')
        log('three hosts, each with %d sleepers and %d workers in a PID namespace of its own' % (SLEEPERS, WORKERS))

        # --- the playbook -------------------------------------------------
        began = time.monotonic()
        command = ['ansible-playbook', '-i', os.path.join(scratch, 'inventory'), playbook]
        result = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        output = result.stdout.decode('utf-8', 'replace')
        with open(os.environ.get('KELVANE_FLEET_LOG', os.devnull), 'w') as f:
            f.write(output)
        if result.returncode != 0:
            print(output, file=sys.stderr)
            fail('ansible-playbook exited with %d' % result.returncode)
        check('[WARNING]' not in output and '[DEPRECATION' not in output, 'warnings in the run:\n' + output)
        for name in HOSTS:
            recap = re.search(r'^%s\s*:\s*(.*)$' % name, output, re.M)
            check(recap is not None, 'no recap for %s' % name)
            counts = dict((k, int(v)) for k, v in re.findall(r'(\w+)=(\d+)', recap.group(1)))
            check(counts['failed'] == 0 and counts['unreachable'] == 0 and counts['ignored'] == 1,
                  'recap of %s: %s' % (name, recap.group(1)))
            check(counts['changed'] == 5, 'recap of %s: %s' % (name, recap.group(1)))
        log('playbook: every host ok in %.1f s' % (time.monotonic() - began))

        # --- the hosts afterwards, seen from here -------------------------
        for name, init in inits.items():
            left = {}
            for child in children(init):
                left.setdefault(image_name(child), []).append(child)
            check(b'kvsleeper' not in left and b'kvtree' not in left, 'processes left on %s: %s' % (name, left))
            check(len(left.get(b'kvworker', [])) == WORKERS - 1, 'workers of %s: %s' % (name, left))
            check(all(nice_of(pid) == 10 for pid in left[b'kvworker']), 'a worker of %s is not at nice 10' % name)
        log('afterwards: no sleeper left, the workers at nice 10')
    finally:
        stop_started(started)
        subprocess.run(['rm', '-rf', scratch])
    print('ansible fleet: passed', flush=True)


if __name__ == '__main__':
    main()
