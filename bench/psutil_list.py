#!/usr/bin/python3
"""Process listing with psutil, the reference of the process_list benchmark.

Gathers for every process what `ps -eo pid,comm,args,user,pcpu,rss,nice`
shows plus the image path and the paths of its mapped files (the
module list), and writes one line per process to standard output.
"""
import sys
import time

import psutil


def main():
    boot = psutil.boot_time()
    now = time.time()
    out = []
    for proc in psutil.process_iter():
        try:
            with proc.oneshot():
                pid = proc.pid
                name = proc.name()
                args = " ".join(proc.cmdline())
                user = proc.username()
                times = proc.cpu_times()
                created = proc.create_time()
                elapsed = max(now - max(created, boot), 1e-9)
                pcpu = 100.0 * (times.user + times.system) / elapsed
                rss = proc.memory_info().rss
                nice = proc.nice()
                try:
                    exe = proc.exe()
                except psutil.Error:
                    exe = ""
                modules = []
                seen = set()
                try:
                    for region in proc.memory_maps(grouped=False):
                        path = region.path
                        if path.startswith("/") and path not in seen:
                            seen.add(path)
                            modules.append(path)
                except psutil.Error:
                    pass
        except psutil.Error:
            continue
        out.append("%d\t%s\t%s\t%s\t%.1f\t%d\t%d\t%s\t%s" %
                   (pid, name, args, user, pcpu, rss, nice, exe, "|".join(modules)))
    sys.stdout.write("\n".join(out))
    sys.stdout.write("\n")


if __name__ == "__main__":
    main()
