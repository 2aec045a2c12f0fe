#!/usr/bin/env python3
"""Tables of bench/floor_bench.sh from its raw figures.

Usage: floor_report.py RESULTS.tsv [MACHINE.txt]

Times are in milliseconds, from the kernel's printk stamps. Ratios put an
init over the floor: a round boots quenvale, the floor and busybox back to
back, and the per-round ratio divides two boots of one round, which
cancels most of the machine's drift; the tables give the median of those
ratios and their range. The tables are Markdown, so they paste into
docs/results.md as printed.
"""

import csv
import statistics
import sys

from report_md import machine_section, spread, table

INITS = ("quenvale", "floor", "busybox")
FLOOR = "floor"


def main():
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
    # In the order the benchmark booted them, which is the order asked for.
    configs = list(dict.fromkeys(c for c, _ in boots))

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
