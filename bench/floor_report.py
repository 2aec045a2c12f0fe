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

INITS = ("quenvale", "probing", "floor", "busybox")
FLOOR = "floor"
PROBING = "probing"
# What the init may cost over the probing floor: its own share of the
# hand-over, of the requests (the prefetch merges the probes' reads) and of
# the sectors read.
TARGETS = {"handover": 1.02, "reads": 0.5, "sectors": 1.0}


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

    def ratios(config, init, key, over=FLOOR):
        mine = boots.get((config, init), {})
        base = boots.get((config, over), {})
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
                pairs = []
                for over in (FLOOR, PROBING):
                    p = ratios(config, init, key, over)
                    pairs.append("1" if init == over else
                                 "%.2f (%.2f–%.2f)" % (statistics.median(p), min(p), max(p))
                                 if p else "—")
                rows.append([config, init, str(len(v)), "%.1f" % statistics.median(v),
                             spread(v)] + pairs)
        table(["configuration", "init", "boots", "median ms", "min–max ms",
               "over the floor, per round: median (min–max)",
               "over the probing floor, per round"], rows)

    timing_table("handover", "Hand-over: \"Run /init as init process\" to "
                 "preinit's first line in the kernel log")
    timing_table("to_e2fsck", "Partition line to e2fsck's start")

    print("### Reads of the root disk when preinit starts\n")
    rows = []
    for config in configs:
        floor = {k: values(config, FLOOR, k) for k in ("reads", "sectors")}
        probing = {k: values(config, PROBING, k) for k in ("reads", "sectors")}
        for init in INITS:
            reads = values(config, init, "reads")
            sectors = values(config, init, "sectors")
            if not reads:
                continue
            cells = [config, init]
            for got, key in ((reads, "reads"), (sectors, "sectors")):
                cells.append("%g" % statistics.median(got))
                cells.append("yes" if len(set(got)) == 1 else spread(got, "%d"))
                for base in (floor[key], probing[key]):
                    cells.append("%.2f" % (statistics.median(got) / statistics.median(base))
                                 if base else "—")
            rows.append(cells)
    table(["configuration", "init", "read requests (median)", "same every boot",
           "over the floor", "over the probing floor", "sectors read (median)",
           "same every boot", "over the floor", "over the probing floor"], rows)

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

    print("### Summary: quenvale over the probing floor (medians of per-round "
          "ratios; targets: hand-over %.2f, read requests %.2f, sectors %.2f)\n"
          % (TARGETS["handover"], TARGETS["reads"], TARGETS["sectors"]))
    rows = []
    for config in configs:
        cells, met = [config], True
        for key in ("handover", "to_e2fsck", "reads", "sectors"):
            p = ratios(config, "quenvale", key, PROBING)
            if not p:
                cells.append("—")
                continue
            cells.append("%.2f" % statistics.median(p))
            if key in TARGETS and statistics.median(p) > TARGETS[key]:
                met = False
        rows.append(cells + ["yes" if met else "no"])
    table(["configuration", "hand-over", "partition line to e2fsck",
           "read requests", "sectors read", "within the targets"], rows)

    if machine:
        machine_section(machine)


if __name__ == "__main__":
    main()
