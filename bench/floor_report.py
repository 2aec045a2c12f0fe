#!/usr/bin/env python3
"""Tables of bench/floor_bench.sh from its raw figures.

Usage: floor_report.py RESULTS.tsv [MACHINE.txt]
       floor_report.py --trace TRACE   (one idle boot's QEMU read trace)
       floor_report.py --idle IDLE.tsv (the table of the idle boots)

Times are in milliseconds, from the kernel's printk stamps. Ratios put an
init over the floor: a round boots quenvale, the floor and busybox back to
back, and the per-round ratio divides two boots of one round, which
cancels most of the machine's drift; the tables give the median of those
ratios and their range. The tables are Markdown, so they paste into
docs/results.md as printed.
"""

import csv
import re
import statistics
import sys

from report_md import machine_section, spread, table

CONFIGS = ("x86_64-virtio", "malta-virtio", "malta-sd", "malta-usb")
INITS = ("quenvale", "floor", "busybox")
FLOOR = "floor"


TRACE_LINE = re.compile(r"^\d+@(\d+\.\d+):blk_co_preadv .*"
                        r"\boffset (\d+) bytes (\d+)\b")


def trace_figures(path):
    """Passes, ms per pass (mean and median), reads and bytes per pass of
    one idle boot's trace, tab-separated; None when it holds too few.

    The wait repeats one pass, and each pass reads the same places of the
    disk. The second half of the trace (by time) leaves out the kernel's
    partition scan and the first pass, which makes the nodes and links and
    reads more. Its most frequent read (same offset, same length) marks the
    passes: the first read of a probe, which the kernel's read-ahead never
    merges with another (later reads of a probe are merged now and then,
    so their lengths vary). That read is taken to come once per pass, as a
    device is probed once per pass; the gaps between its occurrences check
    it (the median against the mean)."""
    reads = []
    with open(path) as f:
        for line in f:
            m = TRACE_LINE.match(line)
            if m:
                reads.append((float(m.group(1)), int(m.group(2)), int(m.group(3))))
    if len(reads) < 40:
        return None
    middle = (reads[0][0] + reads[-1][0]) / 2
    tail = [r for r in reads if r[0] >= middle]
    counts = {}
    for _, offset, size in tail:
        counts[(offset, size)] = counts.get((offset, size), 0) + 1
    anchor = max(counts, key=counts.get)
    marks = [i for i, (_, offset, size) in enumerate(tail) if (offset, size) == anchor]
    passes = len(marks) - 1
    if passes < 4:
        return None
    first, last = marks[0], marks[-1]
    mean = (tail[last][0] - tail[first][0]) * 1000 / passes
    median = statistics.median((tail[b][0] - tail[a][0]) * 1000
                               for a, b in zip(marks, marks[1:]))
    per_pass = (last - first) / passes
    bytes_per_pass = sum(size for _, _, size in tail[first:last]) / passes
    return "%d\t%.3f\t%.3f\t%.1f\t%.0f" % (passes, mean, median, per_pass,
                                          bytes_per_pass)


def idle_table(path):
    runs = {}
    with open(path, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            runs.setdefault((r["config"], r["init"]), []).append(r)
    order = {c: n for n, c in enumerate(CONFIGS)}
    print("### One pass of the wait for an absent root (disk attached)\n")
    rows = []
    for (config, init), rs in sorted(runs.items(),
                                     key=lambda k: (order.get(k[0][0], 99), k[0][1] != "quenvale")):
        ms = [float(r["ms_per_pass"]) for r in rs]
        reads = [float(r["reads_per_pass"]) for r in rs]
        kib = [float(r["bytes_per_pass"]) / 1024 for r in rs]
        rows.append([config, init, str(len(rs)), str(sum(int(r["passes"]) for r in rs)),
                     "%.2f" % statistics.median(ms), spread(ms, "%.2f"),
                     "%.0f" % (1000 / statistics.median(ms)),
                     "%.1f" % statistics.median(reads), "%.0f" % statistics.median(kib)])
    table(["configuration", "init", "boots", "passes timed", "ms per pass (median)",
           "min–max", "passes per second", "disk reads per pass (QEMU)",
           "KiB read per pass"], rows)


def main():
    if sys.argv[1:2] == ["--trace"]:
        figures = trace_figures(sys.argv[2])
        if figures is None:
            sys.exit(1)
        print(figures)
        return
    if sys.argv[1:2] == ["--idle"]:
        idle_table(sys.argv[2])
        return
    results = sys.argv[1]
    machine = sys.argv[2] if len(sys.argv) > 2 else None
    boots = {}
    with open(results, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            start = float(r["start"])
            boots.setdefault((r["config"], r["init"]), {})[int(r["round"])] = {
                "handover": (float(r["preinit"]) - start) * 1000,
                "to_e2fsck": (float(r["e2fsck"]) - float(r["partition"])) * 1000,
                "reads": int(r["reads"]),
                "sectors": int(r["sectors"]),
            }
    configs = [c for c in CONFIGS if any((c, i) in boots for i in INITS)]
    configs += sorted({c for c, _ in boots} - set(configs))

    def values(config, init, key):
        return [b[key] for _, b in sorted(boots.get((config, init), {}).items())]

    def ratios(config, init, key):
        mine = boots.get((config, init), {})
        base = boots.get((config, FLOOR), {})
        return [mine[r][key] / base[r][key] for r in sorted(mine)
                if r in base and base[r][key]]

    def timing_table(key, title):
        print("### " + title + "\n")
        rows = []
        for config in configs:
            for init in INITS:
                v = values(config, init, key)
                if not v:
                    continue
                if init == FLOOR:
                    pair = "1"
                else:
                    p = ratios(config, init, key)
                    pair = ("%.2f (%.2f–%.2f)" % (statistics.median(p), min(p), max(p))
                            if p else "—")
                rows.append([config, init, str(len(v)), "%.1f" % statistics.median(v),
                             spread(v), pair])
        table(["configuration", "init", "boots", "median ms", "min–max ms",
               "over the floor, per round: median (min–max)"], rows)

    timing_table("handover", "Hand-over: \"Run /init as init process\" to "
                 "preinit's first line in the kernel log")
    timing_table("to_e2fsck", "Partition line to e2fsck's start")

    print("### Reads of the root disk when preinit starts\n")
    rows = []
    for config in configs:
        floor = {k: values(config, FLOOR, k) for k in ("reads", "sectors")}
        for init in INITS:
            reads = values(config, init, "reads")
            sectors = values(config, init, "sectors")
            if not reads:
                continue
            cells = [config, init]
            for got, base in ((reads, floor["reads"]), (sectors, floor["sectors"])):
                cells.append("%g" % statistics.median(got))
                cells.append("yes" if len(set(got)) == 1 else spread(got, "%d"))
                cells.append("%.2f" % (statistics.median(got) / statistics.median(base))
                             if base else "—")
            rows.append(cells)
    table(["configuration", "init", "read requests (median)", "same every boot",
           "over the floor", "sectors read (median)", "same every boot",
           "over the floor"], rows)

    print("### Summary: quenvale over the floor (medians of per-round ratios)\n")
    rows = []
    for config in configs:
        cells = [config]
        for key in ("handover", "to_e2fsck", "reads", "sectors"):
            p = ratios(config, "quenvale", key)
            cells.append("%.2f" % statistics.median(p) if p else "—")
        rows.append(cells)
    table(["configuration", "hand-over", "partition line to e2fsck",
           "read requests", "sectors read"], rows)

    if machine:
        machine_section(machine)


if __name__ == "__main__":
    main()
