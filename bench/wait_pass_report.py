#!/usr/bin/env python3
"""The table of bench/wait_pass_bench.sh from its raw figures.

Usage: wait_pass_report.py RESULTS.tsv

One row per place, device count and driver: the first pass (which makes
every node and link) and the later passes' median and range, in ms; on
the host also the time per entry of /sys/class/block, which every pass
walks; in the guests the root disk's read requests per later pass. Markdown, to paste into docs/results.md.
"""

import csv
import sys

from report_md import table

PLACES = {"host": "host (namespaces)", "virtio": "malta, virtio",
          "sd": "malta, SD card", "usb": "malta, USB stick"}


def reads_per_pass(r):
    if r["reads_first"] == "-":
        return "—"
    later = int(r["passes"]) - 1
    if later < 1:
        return "—"
    return "%.2f" % ((int(r["reads_last"]) - int(r["reads_first"])) / later)


def rows(path):
    with open(path, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            median = int(r["median_us"])
            per = ("%d µs" % (median / int(r["in_sysfs"]))
                   if r["in_sysfs"] != "-" else "—")
            yield [PLACES.get(r["place"], r["place"]), r["devices"], r["in_sysfs"],
                   "%.1f" % (int(r["first_us"]) / 1000), "%.2f" % (median / 1000),
                   "%.2f–%.2f" % (int(r["least_us"]) / 1000, int(r["most_us"]) / 1000),
                   per, reads_per_pass(r), r["driver"]]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print("### One pass of the wait for an absent root\n")
    table(["place", "disks added", "entries in sysfs", "first pass ms",
           "later passes: median ms", "range ms", "median per entry",
           "disk reads per later pass", "driver"],
          list(rows(sys.argv[1])))


if __name__ == "__main__":
    main()
