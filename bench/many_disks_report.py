#!/usr/bin/env python3
"""Tables and curves of bench/many_disks_bench.sh from its raw figures.

Usage: many_disks_report.py RESULTS.tsv [MACHINE.txt] [PLOT.svg]

Per configuration, number of extra disks and init: the median hand-over
(ms), read requests and sectors of all disks together; the init's
per-round ratios over the probing floor; and each init's slope per extra
disk, a least-squares line through the medians. PLOT.svg draws the
hand-over, read requests and sectors against the number of disks, one
curve per init. Markdown, to paste into docs/results.md.
"""

import csv
import statistics
import sys

from report_md import machine_section, table

INITS = ("quenvale", "probing", "busybox")
BASE = "probing"
COLOURS = {"quenvale": "#1f77b4", "probing": "#2ca02c", "busybox": "#d62728"}
KEYS = (("handover", "hand-over, ms"), ("reads", "read requests"),
        ("sectors", "sectors read"))


def load(path):
    boots = {}
    with open(path, newline="") as f:
        for r in csv.DictReader(f, delimiter="\t"):
            key = (r["config"], int(r["disks"]), r["init"])
            boots.setdefault(key, {})[int(r["round"])] = {
                "handover": (float(r["preinit"]) - float(r["start"])) * 1000,
                "reads": int(r["reads"]),
                "sectors": int(r["sectors"]),
            }
    return boots


def slope(points):
    """Least-squares slope of (x, y) points; None with fewer than two x."""
    xs = [x for x, _ in points]
    if len(set(xs)) < 2:
        return None
    mx, my = statistics.mean(xs), statistics.mean(y for _, y in points)
    return (sum((x - mx) * (y - my) for x, y in points)
            / sum((x - mx) ** 2 for x in xs))


def svg(path, config, medians, counts):
    """Three panels side by side, one per figure, a curve per init."""
    width, height, pad = 300, 220, 50
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" '
           'font-family="sans-serif" font-size="11">' % (3 * width, height + 40),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="10" y="16" font-size="13">%s: against the number of extra '
           'disks</text>' % config]
    for panel, (key, title) in enumerate(KEYS):
        left = panel * width + pad
        plot_w, plot_h, top = width - pad - 15, height - 60, 40
        values = [medians[(n, i)][key] for n in counts for i in INITS
                  if (n, i) in medians]
        top_value = max(values) * 1.1 or 1
        top_count = max(counts) or 1

        def x(n):
            return left + plot_w * n / top_count

        def y(v):
            return top + plot_h * (1 - v / top_value)
        out.append('<text x="%d" y="%d">%s</text>' % (left, top - 8, title))
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>'
                   % (left, top + plot_h, left + plot_w, top + plot_h))
        out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>'
                   % (left, top, left, top + plot_h))
        for n in counts:
            out.append('<text x="%.1f" y="%d" text-anchor="middle">%d</text>'
                       % (x(n), top + plot_h + 14, n))
        for fraction in (0, 0.5, 1):
            v = top_value / 1.1 * fraction
            out.append('<text x="%d" y="%.1f" text-anchor="end">%.0f</text>'
                       % (left - 4, y(v) + 4, v))
        for init in INITS:
            points = [(x(n), y(medians[(n, init)][key])) for n in counts
                      if (n, init) in medians]
            if not points:
                continue
            out.append('<polyline fill="none" stroke="%s" stroke-width="2" '
                       'points="%s"/>' % (COLOURS[init], " ".join(
                           "%.1f,%.1f" % p for p in points)))
            for px, py in points:
                out.append('<circle cx="%.1f" cy="%.1f" r="3" fill="%s"/>'
                           % (px, py, COLOURS[init]))
    for n, init in enumerate(INITS):
        out.append('<text x="%d" y="%d" fill="%s">%s</text>'
                   % (pad + n * 120, height + 30, COLOURS[init],
                      "probing floor" if init == BASE else init))
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    boots = load(sys.argv[1])
    configs = list(dict.fromkeys(c for c, _, _ in boots))
    for config in configs:
        counts = sorted({n for c, n, _ in boots if c == config})
        medians = {}
        for (c, n, init), rounds in boots.items():
            if c == config:
                medians[(n, init)] = {k: statistics.median(b[k] for b in rounds.values())
                                      for k, _ in KEYS}
        print("### %s: every disk's reads and the hand-over, by extra disks\n" % config)
        rows = []
        for n in counts:
            for init in INITS:
                if (n, init) not in medians:
                    continue
                m = medians[(n, init)]
                cells = [str(n), init, str(len(boots[(config, n, init)])),
                         "%.1f" % m["handover"], "%g" % m["reads"], "%g" % m["sectors"]]
                base = boots.get((config, n, BASE), {})
                mine = boots[(config, n, init)]
                for key, _ in KEYS:
                    p = [mine[r][key] / base[r][key] for r in mine
                         if r in base and base[r][key]]
                    cells.append("1" if init == BASE else
                                 "%.2f" % statistics.median(p) if p else "—")
                rows.append(cells)
        table(["extra disks", "init", "rounds", "hand-over ms", "read requests",
               "sectors", "hand-over / probing floor", "requests / probing floor",
               "sectors / probing floor"], rows)
        print("Slopes per extra disk (least squares through the medians):\n")
        rows = []
        for init in INITS:
            cells = ["probing floor" if init == BASE else init]
            for key, _ in KEYS:
                s = slope([(n, medians[(n, init)][key]) for n in counts
                           if (n, init) in medians])
                cells.append("—" if s is None else "%.2f" % s)
            rows.append(cells)
        table(["init", "ms per disk", "requests per disk", "sectors per disk"], rows)
        if len(sys.argv) > 3:
            path = sys.argv[3]
            if len(configs) > 1:
                path = path.replace(".svg", "-%s.svg" % config)
            svg(path, config, medians, counts)
            print("Plot: %s\n" % path)
    if len(sys.argv) > 2:
        machine_section(sys.argv[2])


if __name__ == "__main__":
    main()
