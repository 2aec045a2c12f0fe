#!/usr/bin/env python3
"""Tables of bench/e2fsck_bench.sh from its raw figures.

Usage: e2fsck_report.py RESULTS.tsv SIZES.tsv [MACHINE.txt]

Times in milliseconds from the kernel's printk stamps. A round boots the
image with Debian's e2fsck.static and the one with the built e2fsck back
to back; the per-round ratio (built over Debian) cancels most of the
machine's drift, and the tables give its median and range. Markdown, to
paste into docs/results.md.
"""

import csv
import statistics
import sys

from report_md import machine_section, spread, table

VARIANTS = ("debian", "built")
FIGURES = (
    ("unpack", lambda r: (float(r["unpack_end"]) - float(r["unpack_start"])) * 1000),
    ("e2fsck", lambda r: int(r["e2fsck_us"]) / 1000),
    ("hand-over", lambda r: (float(r["preinit"]) - float(r["init"])) * 1000),
    ("boot", lambda r: float(r["preinit"]) * 1000),
)


def main(argv):
    with open(argv[1]) as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    with open(argv[2]) as f:
        sizes = list(csv.DictReader(f, delimiter="\t"))
    figures = {}  # (config, variant, round) -> {figure: ms}
    for row in rows:
        figures[(row["config"], row["variant"], row["round"])] = {
            name: get(row) for name, get in FIGURES}
    # In the order the benchmark booted them, which is the order asked for.
    configs = list(dict.fromkeys(row["config"] for row in rows))

    print("### Image sizes (bytes)\n")
    whats = []
    for s in sizes:
        if s["what"] not in whats:
            whats.append(s["what"])
    size_of = {(s["config"], s["variant"], s["what"]): int(s["bytes"]) for s in sizes}
    out = []
    for config in configs:
        for what in whats:
            if (config, "-", what) in size_of:
                out.append([config, what, "%d" % size_of[(config, "-", what)], "", ""])
                continue
            debian = size_of.get((config, "debian", what))
            built = size_of.get((config, "built", what))
            if debian is None or built is None:
                continue
            out.append([config, what, "%d" % debian, "%d" % built, "%.3f" % (built / debian)])
    table(["configuration", "member or image", "Debian e2fsck.static", "built e2fsck",
           "built / Debian"], out)

    print("### Boot figures (ms, medians over rounds; ratio: median of per-round built / Debian)\n")
    out = []
    for config in configs:
        rounds = sorted({k[2] for k in figures if k[0] == config}, key=int)
        for name, _ in FIGURES:
            values = {v: [figures[(config, v, r)][name] for r in rounds
                          if (config, v, r) in figures] for v in VARIANTS}
            ratios = [figures[(config, "built", r)][name] / figures[(config, "debian", r)][name]
                      for r in rounds
                      if (config, "built", r) in figures and (config, "debian", r) in figures
                      and figures[(config, "debian", r)][name] > 0]
            if not ratios:
                continue
            out.append([config, name,
                        "%.1f (%s)" % (statistics.median(values["debian"]), spread(values["debian"])),
                        "%.1f (%s)" % (statistics.median(values["built"]), spread(values["built"])),
                        "%.3f (%s)" % (statistics.median(ratios), spread(ratios, "%.3f")),
                        "%d" % len(ratios)])
    table(["configuration", "figure", "Debian e2fsck.static", "built e2fsck",
           "built / Debian", "rounds"], out)
    if len(argv) > 3:
        machine_section(argv[3])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
