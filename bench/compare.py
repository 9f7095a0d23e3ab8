#!/usr/bin/env python3
"""Runs installers side by side under wine and prints the comparison.

  compare.py --runs 5 --peakmem peakmem.exe NAME=COMMAND... [--json out.json]

Every COMMAND is a Windows command line (program first) started through
peakmem.exe, which reports the process's own wall time and peak working set.
One warm-up run of each, then the counted runs alternate A B C A B C ...
The first NAME is the one compared with the others (ratios per round).
"""
import argparse
import json
import os
import re
import shlex
import statistics
import subprocess
import sys

LINE = re.compile(r"elapsed_ms=([0-9.]+) peak_ws_kib=([0-9]+) exit=([0-9]+)")


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


def run_once(wine, peakmem, command):
    result = subprocess.run([wine, peakmem] + command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    match = LINE.search(result.stdout)
    if result.returncode != 0 or not match:
        sys.exit("run failed: %s\n%s%s" % (" ".join(command), result.stdout, result.stderr))
    if match.group(3) != "0":
        sys.exit("%s exited with %s" % (" ".join(command), match.group(3)))
    return float(match.group(1)), int(match.group(2))


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
    parser.add_argument("programs", nargs="+", metavar="NAME=COMMAND")
    args = parser.parse_args()
    if args.runs < 1:
        sys.exit("--runs must be at least 1")
    programs = []
    for item in args.programs:
        name, _, command = item.partition("=")
        programs.append((name, shlex.split(command, posix=False)))

    load_before = load()
    for name, command in programs:  # warm-up: page cache, wine's own files
        warm_pages(args.warm_file, args.warm_mib)
        run_once(args.wine, args.peakmem, command)
    times = {name: [] for name, _ in programs}
    peaks = {name: [] for name, _ in programs}
    for round_number in range(args.runs):
        for name, command in programs:
            warm_pages(args.warm_file, args.warm_mib)
            elapsed, peak = run_once(args.wine, args.peakmem, command)
            times[name].append(elapsed)
            peaks[name].append(peak)
        print("round %d: %s" % (round_number + 1,
                                "  ".join("%s %.0f ms" % (n, times[n][-1]) for n, _ in programs)), flush=True)
    load_after = load()

    first = programs[0][0]
    print()
    print("%-10s %12s %20s %14s %16s" % ("", "median ms", "min-max ms", "%s/this" % first, "peak WS MiB"))
    for name, _ in programs:
        t = times[name]
        ratio = statistics.median(times[first]) / statistics.median(t)
        print("%-10s %12.0f %20s %14s %16.1f" % (name, statistics.median(t), "%.0f-%.0f" % (min(t), max(t)),
                                                 "%.2fx" % ratio if name != first else "-",
                                                 max(peaks[name]) / 1024.0))
    for name, _ in programs[1:]:
        ratios = [a / b for a, b in zip(times[first], times[name])]
        print("%s/%s per round: %s (median %.2f)" % (first, name, " ".join("%.2f" % r for r in ratios),
                                                     statistics.median(ratios)))
    print("load average (1 min) before %s, after %s; %d CPUs; %d MiB of pages warmed before each run"
          % (load_before, load_after, os.cpu_count(), args.warm_mib))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"times_ms": times, "peak_ws_kib": peaks, "load": [load_before, load_after]}, f, indent=1)


if __name__ == "__main__":
    main()
