#!/usr/bin/python3
# kelvanectl metrics against the real Prometheus programs of Debian:
#   1. sleepers of two accounts and processes with hostile names (quotes,
#      backslashes, line feeds, invalid UTF-8) are started;
#   2. promtool check metrics accepts the exposition, for every grouping;
#   3. metrics --textfile writes kelvane.prom into a directory that
#      node_exporter (on 127.0.0.1, a free port, its textfile collector
#      only) serves; one scrape over HTTP holds every family, and the
#      sleepers' count and memory agree with a listing and with ps taken at
#      the same time; the hostile names arrive as one series each, intact.
# Usage (as init of a PID namespace of its own, see scripts/test-fleets):
#   metrics_scrape.py KELVANECTL SERVICE_UNIT
import os
import re
import socket
import subprocess
import sys
import tempfile
import time
import json
import urllib.request

from fleet_support import (check, fail, log, pids_named, require_own_pid_namespace, run, sleeper_program,
                           stop_started, wait_for)

FAMILIES = ['kelvane_listing_success', 'kelvane_listing_duration_seconds', 'kelvane_listing_timestamp_seconds',
            'kelvane_process_cpu_percent', 'kelvane_process_resident_memory_bytes', 'kelvane_processes',
            'kelvane_process_modules']

# Image names a process may give itself, and the label value each must
# arrive as (invalid UTF-8 as U+FFFD, one per byte).
HOSTILE = {
    b'evil"quote': 'evil"quote',
    b'back\\slash': 'back\\slash',
    b'new\nline': 'new\nline',
    b'bad\xff\xfeutf8': 'bad\ufffd\ufffdutf8',
    b'x"} 1\nkelvane_processes{name="fake': 'x"} 1\nkelvane_processes{name="fake',
}

SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"(?:,|$)')


def unescape(value):
    return re.sub(r'\\(.)', lambda m: '\n' if m.group(1) == 'n' else m.group(1), value)


def parse_exposition(text):
    """{(family, ((label, value), ...)): float} of an exposition; any line
    that is neither a comment nor a well-formed sample fails the test."""
    series = {}
    for line in text.split('\n'):
        if not line or line.startswith('#'):
            continue
        m = SAMPLE.match(line)
        check(m is not None, 'not a sample line: %r' % line)
        labels = []
        rest = m.group(2) or ''
        while rest:
            lm = LABEL.match(rest)
            check(lm is not None, 'malformed labels in %r' % line)
            labels.append((lm.group(1), unescape(lm.group(2))))
            rest = rest[lm.end():]
        key = (m.group(1), tuple(labels))
        check(key not in series, 'duplicate series %r' % (key,))
        series[key] = float(m.group(3))
    return series


def value(series, family, **labels):
    return series.get((family, tuple(labels.items())))


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def scrape(port):
    with urllib.request.urlopen('http://127.0.0.1:%d/metrics' % port, timeout=10) as response:
        return response.read().decode('utf-8')


def main():
    require_own_pid_namespace()
    kelvanectl, service_unit = sys.argv[1], sys.argv[2]
    started = []
    scratch = tempfile.mkdtemp(prefix='kelvane-metrics-')
    os.chmod(scratch, 0o755)  # nobody runs a sleeper from here
    try:
        # --- the processes ----------------------------------------------
        sleeper = sleeper_program(scratch, 'kvsleeper')
        for _ in range(4):
            started.append(subprocess.Popen([sleeper, '120']))
        for _ in range(2):
            started.append(subprocess.Popen(['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups',
                                             sleeper, '120']))
        for name in HOSTILE:
            started.append(subprocess.Popen([sleeper_program(scratch, name), '120']))
        wait_for(lambda: len(pids_named(b'kvsleeper')) == 6, 'six sleepers')
        for name in HOSTILE:
            wait_for(lambda: len(pids_named(name)) == 1, 'the process named %r' % name)

        # --- promtool ----------------------------------------------------
        for grouping in ['name,user', 'name', 'user', 'none']:
            rc, out, err = run([kelvanectl, 'metrics', '--group-by', grouping])
            check(rc == 0, 'metrics --group-by %s: exit status %d: %s' % (grouping, rc, err))
            prc, pout, perr = run(['promtool', 'check', 'metrics'], input=out.encode('utf-8'))
            check(prc == 0 and pout == '' and perr == '',
                  'promtool check metrics (--group-by %s) says (%d): %s%s' % (grouping, prc, pout, perr))
            parse_exposition(out)
        log('promtool check metrics accepts every grouping, hostile names included')

        # --- the textfile, served by node_exporter -----------------------
        # The directory the shipped service writes to is the one Debian's
        # node_exporter reads by default.
        unit = open(service_unit, encoding='utf-8').read()
        unit_dir = re.search(r'^ConditionPathIsDirectory=(\S+)$', unit, re.M).group(1)
        check('--textfile %s\n' % unit_dir in unit, 'the service does not write into %s' % unit_dir)
        rc, out, err = run(['prometheus-node-exporter', '--help'])
        check('--collector.textfile.directory="%s"' % unit_dir in out + err,
              "node_exporter's default textfile directory is not %s" % unit_dir)

        textfiles = os.path.join(scratch, 'textfile')
        os.mkdir(textfiles)
        rc, out, err = run([kelvanectl, 'metrics', '--textfile', textfiles])
        check(rc == 0 and out == '', 'metrics --textfile: exit status %d: %s%s' % (rc, out, err))
        # The listing to compare with, taken at once; and ps beside it.
        rc, out, err = run([kelvanectl, 'list', '--json'])
        check(rc == 0, 'list --json: exit status %d: %s' % (rc, err))
        listing = [p for p in json.loads(out)['processes'] if p['name'] == 'kvsleeper']
        rc, ps_out, err = run(['ps', '-o', 'user=,rss=', '-C', 'kvsleeper'])
        check(sorted(os.listdir(textfiles)) == ['kelvane.prom'], 'left in the directory: %s' % os.listdir(textfiles))

        port = None
        exporter = None
        exporter_log = os.path.join(scratch, 'node_exporter.log')
        for _ in range(5):  # a port found free may be taken by the time it is used
            port = free_port()
            with open(exporter_log, 'wb') as log_file:
                exporter = subprocess.Popen(
                    ['timeout', '60', 'prometheus-node-exporter', '--web.listen-address=127.0.0.1:%d' % port,
                     '--collector.disable-defaults', '--collector.textfile',
                     '--collector.textfile.directory=%s' % textfiles, '--web.disable-exporter-metrics'],
                    stdout=subprocess.DEVNULL, stderr=log_file)
            started.append(exporter)
            deadline = time.monotonic() + 10
            while exporter.poll() is None and time.monotonic() < deadline:
                try:
                    socket.create_connection(('127.0.0.1', port), timeout=1).close()
                    break
                except OSError:
                    time.sleep(0.05)
            if exporter.poll() is None:
                break
        if exporter.poll() is not None:
            fail('node_exporter did not start: %s' % open(exporter_log, errors='replace').read())
        text = scrape(port)
        exporter.terminate()
        exporter.wait()
        series = parse_exposition(text)
        log('scraped %d series from node_exporter on 127.0.0.1:%d' % (len(series), port))

        check(value(series, 'node_textfile_scrape_error') == 0, 'node_exporter could not read the textfile')
        for family in FAMILIES:
            check(('# TYPE %s gauge' % family) in text.split('\n'), 'no family %s in the scrape' % family)
        check(value(series, 'kelvane_listing_success') == 1, 'the listing did not succeed')
        check(value(series, 'kelvane_listing_duration_seconds') > 0, 'no listing duration')
        check(abs(value(series, 'kelvane_listing_timestamp_seconds') - time.time()) < 300, 'timestamp off')

        for user, count in [('root', 4), ('nobody', 2)]:
            mine = [p for p in listing if p['user'] == user]
            check(len(mine) == count, 'the listing shows %d sleepers of %s' % (len(mine), user))
            scraped = value(series, 'kelvane_processes', name='kvsleeper', user=user)
            check(scraped == count, 'scraped count of (kvsleeper, %s): %s, not %d' % (user, scraped, count))
            memory = value(series, 'kelvane_process_resident_memory_bytes', name='kvsleeper', user=user)
            listed = sum(p['memory'] for p in mine)
            by_ps = sum(int(rss) * 1024 for u, rss in (line.split() for line in ps_out.splitlines()) if u == user)
            # The listing's figure exactly; ps's within a fifth: the library
            # reads the resident pages of /proc/PID/stat, which newer
            # kernels give from a fast approximate counter, ps the exact
            # VmRSS. Enough to catch a wrong unit or a lost process.
            check(memory == listed and abs(memory - by_ps) <= by_ps / 5,
                  'memory of (kvsleeper, %s): scraped %s, listed %d, ps %d' % (user, memory, listed, by_ps))
            modules = value(series, 'kelvane_process_modules', name='kvsleeper', user=user)
            check(modules == sum(len(p['modules']) for p in mine), 'modules of (kvsleeper, %s)' % user)
            check(value(series, 'kelvane_process_cpu_percent', name='kvsleeper', user=user) is not None,
                  'no CPU series of (kvsleeper, %s)' % user)
            log('(kvsleeper, %s): %d processes, %d bytes resident (the listing: %d, ps: %d)'
                % (user, count, memory, listed, by_ps))

        for name, label in HOSTILE.items():
            check(value(series, 'kelvane_processes', name=label, user='root') == 1,
                  'the process named %r is not one series' % name)
        check(not any(k[0] == 'kelvane_processes' and ('name', 'fake') in k[1] for k in series),
              'a process name injected a series')
        log('hostile names arrive as one series each, intact')
    finally:
        stop_started(started)
        subprocess.run(['rm', '-rf', scratch])
    print('metrics scrape: passed', flush=True)


if __name__ == '__main__':
    main()
