#!/usr/bin/env python3
"""Tables of bench/boot_bench.sh from its raw figures.

Usage: boot_report.py RESULTS.tsv SIZES.tsv MACHINE.txt

Times are in milliseconds. Ratios put quenvale over the busybox script of
the same run: below 1 means quenvale is faster (or smaller). The tables are
Markdown, so they paste into docs/results.md as printed.
"""

import csv
import statistics
import sys

from report_md import machine_section, spread, table

BASE = "busybox"
OTHER = "quenvale"


def load(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def main():
    results, sizes, machine = sys.argv[1:4]
    boots = {}
    for r in load(results):
        start = float(r["start"])
        boots.setdefault((r["config"], r["image"]), []).append({
            "boot": int(r["boot"]),
            "handover": (float(r["preinit"]) - start) * 1000,
            "uptime": (float(r["uptime"]) - start) * 1000,
            "e2fsck": int(r["e2fsck_us"]) / 1000,
            "sync": float(r["sync"]),
            "before": float(r["sync_before"]),
            "after": float(r["sync_after"]),
            "modules": (float(r["partition"]) - start) * 1000,
            "mount": (float(r["mounted"]) - float(r["partition"])) * 1000,
            "switch": (float(r["preinit"]) - float(r["mounted"])) * 1000,
        })
    arches = sorted({a for a, _ in boots}, key=lambda a: (a != "x86_64-virtio", a))

    def column(arch, image, key):
        return [b[key] for b in boots[(arch, image)]]

    def paired(arch, key):
        # Boots of one round ran back to back: their ratio cancels drift.
        base = {b["boot"]: b[key] for b in boots[(arch, BASE)]}
        return [b[key] / base[b["boot"]] for b in boots[(arch, OTHER)]
                if b["boot"] in base]

    def timing_table(key, title):
        print("### " + title + "\n")
        rows = []
        for arch in arches:
            base_median = statistics.median(column(arch, BASE, key))
            for image in (OTHER, BASE):
                values = column(arch, image, key)
                median = statistics.median(values)
                if image == OTHER:
                    pairs = paired(arch, key)
                    ratio = "%.2f" % (median / base_median)
                    pair = "%.2f (%.2f–%.2f)" % (statistics.median(pairs),
                                                 min(pairs), max(pairs))
                else:
                    ratio, pair = "1", "—"
                rows.append([arch, image, str(len(values)), "%.1f" % median,
                             spread(values), ratio, pair])
        table(["configuration", "image", "boots", "median ms", "min–max ms",
               "ratio of medians", "per-round ratio: median (min–max)"], rows)

    timing_table("handover", "Hand-over: \"Run /init\" to /etc/preinit's "
                 "first line in the kernel log")

    print("### Phases of the hand-over (medians, ms)\n")
    phases = ("modules", "mount", "e2fsck", "switch")
    rows = []
    for arch in arches:
        medians = {}
        for image in (OTHER, BASE):
            medians[image] = [statistics.median(column(arch, image, k)) for k in phases]
            rows.append([arch, image] + ["%.1f" % m for m in medians[image]])
        rows.append([arch, "ratio"] + ["%.2f" % (a / b) for a, b in
                                       zip(medians[OTHER], medians[BASE])])
    table(["configuration", "image", "\"Run /init\" to the partition line",
           "partition line to root mounted", "of which e2fsck",
           "root mounted to preinit"], rows)

    timing_table("uptime", "Hand-over to the /proc/uptime preinit prints "
                 "next (10 ms steps, after mounting sysfs and /proc)")

    print("### e2fsck inside the hand-over\n")
    rows = []
    for arch in arches:
        for image in (OTHER, BASE):
            bs = boots[(arch, image)]
            e2 = [b["e2fsck"] for b in bs]
            rest = [b["handover"] - b["e2fsck"] for b in bs]
            share = [b["e2fsck"] / b["handover"] * 100 for b in bs]
            rows.append([arch, image, "%.1f" % statistics.median(e2), spread(e2),
                         "%.0f %%" % statistics.median(share),
                         "%.1f" % statistics.median(rest), spread(rest)])
    table(["configuration", "image", "e2fsck median ms", "min–max ms",
           "share of hand-over (median)", "rest median ms", "rest min–max ms"],
          rows)
    rows = []
    for arch in arches:
        e2 = (statistics.median(column(arch, OTHER, "e2fsck"))
              / statistics.median(column(arch, BASE, "e2fsck")))
        rest = [statistics.median([b["handover"] - b["e2fsck"]
                                   for b in boots[(arch, image)]])
                for image in (OTHER, BASE)]
        rows.append([arch, "%.2f" % e2, "%.2f" % (rest[0] / rest[1])])
    table(["configuration", "e2fsck ratio (quenvale / busybox)",
           "rest ratio (quenvale / busybox)"], rows)

    # /proc/uptime is cut to 10 ms. The "QUENVALE-STAMP sync" falls between
    # the two uptime reads around it, which bounds each boot's offset
    # between the printk clock and uptime to a 10 to 20 ms interval.
    print("### Clock check: printk stamp minus /proc/uptime, per boot\n")
    rows = []
    for arch in arches:
        every = [b for image in (OTHER, BASE) for b in boots[(arch, image)]]
        bounds = [((b["sync"] - b["after"] - 0.01) * 1000,
                   (b["sync"] - b["before"]) * 1000) for b in every]
        middles = [(low + high) / 2 for low, high in bounds]
        one = max(low for low, _ in bounds) <= min(high for _, high in bounds)
        rows.append([arch, "%.0f" % min(middles), "%.0f" % statistics.median(middles),
                     "%.0f" % max(middles),
                     "%.0f" % max((high - low) / 2 for low, high in bounds),
                     "yes" if one else "no"])
    table(["configuration", "lowest ms", "median ms", "highest ms", "each ± ms",
           "one offset fits every boot"], rows)

    print("### Sizes (bytes)\n")
    rows = []
    by_arch = {}
    for r in load(sizes):
        by_arch.setdefault(r["config"], {})[r["what"]] = int(r["bytes"])
    pairs = [("quenvale image (gzip)", "busybox image (gzip)"),
             ("quenvale image (cpio)", "busybox image (cpio)"),
             ("quenvale-init", "busybox + script")]
    for arch in arches:
        s = by_arch[arch]
        for mine, theirs in pairs:
            rows.append([arch, mine, str(s[mine]), theirs, str(s[theirs]),
                         "%.2f" % (s[mine] / s[theirs])])
    table(["configuration", "quenvale", "bytes", "busybox script", "bytes", "ratio"], rows)
    rows = []
    for arch in arches:
        s = by_arch[arch]
        rows.append([arch, str(s["busybox"]), str(s["busybox-init.sh"]),
                     str(s["e2fsck.static (both)"])])
    table(["configuration", "busybox", "busybox-init.sh", "e2fsck.static (in both)"], rows)

    machine_section(machine)


if __name__ == "__main__":
    main()
