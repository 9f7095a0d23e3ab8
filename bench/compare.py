#!/usr/bin/env python3
"""Runs installers side by side under wine and prints the comparison.

  compare.py --runs 5 --peakmem peakmem.exe NAME=COMMAND... [--json out.json]

Every COMMAND is a Windows command line (program first) started through
peakmem.exe, which reports the process's own wall time, peak working set and
most threads at once. One warm-up run of each, then the counted runs
alternate A B C A B C ... The first NAME is the one compared with the others
(ratios per round).

--cpus NAME=LIST (LIST as taskset takes it, e.g. 0 or 0-1) runs NAME in a wine
session confined to those processors, server included: before a run whose
processors differ from the running session's, the prefix's server is stopped
and a fresh one started with that affinity, which the server and every wine
process inherit and which wine reports to the programs. The other NAMEs then
run in a fresh session on all the processors this script may use.
"""
import argparse
import json
import os
import re
import shlex
import statistics
import subprocess
import sys

LINE = re.compile(r"elapsed_ms=([0-9.]+) peak_ws_kib=([0-9]+) exit=([0-9]+)(?: peak_threads=([0-9]+))?")


def warm_pages(path, mib):
    # The virtual machines this runs on hand freed guest memory back to the
    # host, and the first touch of such a page is slow: a program that writes
    # more than the one before it would pay for that, not for its own work.
    # Writing and deleting a file first leaves hot free pages for every run.
    if mib <= 0:
        return
    block = b"\0" * (1 << 20)
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(block)
    os.unlink(path)


def run_once(wine, peakmem, command, cpus=None):
    confine = (lambda: os.sched_setaffinity(0, cpus)) if cpus else None
    result = subprocess.run([wine, peakmem] + command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            preexec_fn=confine)
    match = LINE.search(result.stdout)
    if result.returncode != 0 or not match:
        sys.exit("run failed: %s\n%s%s" % (" ".join(command), result.stdout, result.stderr))
    if match.group(3) != "0":
        sys.exit("%s exited with %s" % (" ".join(command), match.group(3)))
    threads = int(match.group(4)) if match.group(4) else None
    return float(match.group(1)), int(match.group(2)), threads


def cpu_list(text):
    cpus = set()
    for part in text.split(","):
        first, _, last = part.partition("-")
        cpus.update(range(int(first), int(last or first) + 1))
    return cpus


def restart_session(wine, wineserver, cpus):
    """A fresh wine session on cpus; its first start of services is not timed."""
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([wineserver, "-k"], **quiet)  # returns once the old server has gone
    confine = lambda: os.sched_setaffinity(0, cpus)
    subprocess.run([wineserver, "-p"], preexec_fn=confine, **quiet)
    subprocess.run([wine, "cmd", "/c", "exit"], preexec_fn=confine, **quiet)


def load():
    with open("/proc/loadavg") as f:
        return f.read().split()[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--wine", default="wine")
    parser.add_argument("--peakmem", required=True)
    parser.add_argument("--json")
    parser.add_argument("--warm-mib", type=int, default=320,
                        help="MiB written and deleted before every run (0: none)")
    parser.add_argument("--warm-file", default="/tmp/kz-bench-warm.bin")
    parser.add_argument("--cpus", action="append", default=[], metavar="NAME=LIST",
                        help="run NAME in a wine session on these processors only (see above)")
    parser.add_argument("--wineserver", default="wineserver")
    parser.add_argument("programs", nargs="+", metavar="NAME=COMMAND")
    args = parser.parse_args()
    if args.runs < 1:
        sys.exit("--runs must be at least 1")
    programs = []
    for item in args.programs:
        name, _, command = item.partition("=")
        programs.append((name, shlex.split(command, posix=False)))
    everywhere = os.sched_getaffinity(0)
    cpus = {name: everywhere for name, _ in programs}
    for item in args.cpus:
        name, _, text = item.partition("=")
        if name not in cpus:
            sys.exit("--cpus names %s, which is not a program here" % name)
        try:
            cpus[name] = cpu_list(text)
        except ValueError:
            sys.exit("--cpus %s: give processors as taskset -c takes them, e.g. 0 or 0-1" % item)
    session = [None if args.cpus else everywhere]  # unknown until the first restart

    def run(name, command):
        if session[0] != cpus[name]:
            restart_session(args.wine, args.wineserver, cpus[name])
            session[0] = cpus[name]
        warm_pages(args.warm_file, args.warm_mib)
        return run_once(args.wine, args.peakmem, command, cpus[name] if cpus[name] != everywhere else None)

    load_before = load()
    for name, command in programs:  # warm-up: page cache, wine's own files
        run(name, command)
    times = {name: [] for name, _ in programs}
    peaks = {name: [] for name, _ in programs}
    threads = {name: [] for name, _ in programs}
    for round_number in range(args.runs):
        for name, command in programs:
            elapsed, peak, most = run(name, command)
            times[name].append(elapsed)
            peaks[name].append(peak)
            threads[name].append(most)
        print("round %d: %s" % (round_number + 1,
                                "  ".join("%s %.0f ms" % (n, times[n][-1]) for n, _ in programs)), flush=True)
    load_after = load()
    if session[0] != everywhere:
        restart_session(args.wine, args.wineserver, everywhere)

    first = programs[0][0]
    print()
    print("%-10s %12s %20s %14s %16s %13s" % ("", "median ms", "min-max ms", "%s/this" % first, "peak WS MiB",
                                              "peak threads"))
    for name, _ in programs:
        t = times[name]
        ratio = statistics.median(times[first]) / statistics.median(t)
        counts = [n for n in threads[name] if n is not None]
        print("%-10s %12.0f %20s %14s %16.1f %13s" % (name, statistics.median(t), "%.0f-%.0f" % (min(t), max(t)),
                                                      "%.2fx" % ratio if name != first else "-",
                                                      max(peaks[name]) / 1024.0,
                                                      max(counts) if counts else "-"))
    for name, _ in programs[1:]:
        ratios = [a / b for a, b in zip(times[first], times[name])]
        print("%s/%s per round: %s (median %.2f)" % (first, name, " ".join("%.2f" % r for r in ratios),
                                                     statistics.median(ratios)))
    print("load average (1 min) before %s, after %s; %d CPUs; %d MiB of pages warmed before each run"
          % (load_before, load_after, os.cpu_count(), args.warm_mib))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"times_ms": times, "peak_ws_kib": peaks, "peak_threads": threads,
                       "cpus": {name: sorted(c) for name, c in cpus.items()},
                       "load": [load_before, load_after]}, f, indent=1)


if __name__ == "__main__":
    main()
