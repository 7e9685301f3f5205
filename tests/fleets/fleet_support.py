# Helpers of the fleet tests (metrics_scrape.py, ansible_fleet.py). Both run
# as init of a PID namespace of their own (scripts/test-fleets starts them
# under unshare --pid --fork --mount-proc), so that every process they start
# ends with them and nothing they signal lies outside.

import os
import shutil
import signal
import subprocess
import sys
import time


def fail(message):
    print('FAIL: %s' % message, file=sys.stderr, flush=True)
    sys.exit(1)


def check(condition, message):
    if not condition:
        fail(message)


def log(message):
    print('    %s' % message, file=sys.stderr, flush=True)


def require_own_pid_namespace():
    """Refuses to run outside a PID namespace of its own (as its init)."""
    check(os.getpid() == 1, 'run me through scripts/test-fleets (I must be init of a PID namespace of my own)')


def sleeper_program(directory, name):
    """A copy of sleep(1) named `name` (bytes or str) in `directory`: the
    library names a process after its image file."""
    path = os.path.join(os.fsencode(directory), os.fsencode(name))
    shutil.copyfile(shutil.which('sleep'), path)
    os.chmod(path, 0o755)
    return path


def image_name(pid):
    """The file name of /proc/PID/exe as bytes, None when unreadable."""
    try:
        return os.path.basename(os.readlink(b'/proc/%d/exe' % pid))
    except OSError:
        return None


def pids_named(name):
    """Ids of the processes whose image is called `name` (bytes)."""
    pids = []
    for entry in os.listdir('/proc'):
        if entry.isdigit() and image_name(int(entry)) == name:
            pids.append(int(entry))
    return sorted(pids)


def wait_for(condition, what, seconds=20):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            fail('timed out waiting for %s' % what)
        time.sleep(0.05)


def stop_started(processes):
    """Ends the processes this test started (Popen objects), and reaps them."""
    for process in processes:
        if process.poll() is None:
            process.send_signal(signal.SIGKILL)
    for process in processes:
        process.wait()


def run(command, **kwargs):
    """Runs a command, returns (exit status, stdout, stderr) as text."""
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)
    return (result.returncode, result.stdout.decode('utf-8', 'replace'),
            result.stderr.decode('utf-8', 'replace'))
