#!/usr/bin/env python3
"""Where quenvale-init's bytes beyond the libblkid floor come from.

Usage: size_breakdown.py QV_MAP FLOOR_MAP QV_STRIPPED FLOOR_STRIPPED
                         QV_UNSTRIPPED FLOOR_UNSTRIPPED NM

The maps come from unstripped links (-Wl,-Map) of the same code with the
release flags; strip leaves the same sections, so a section's bytes in the
stripped file are the sum of its input pieces in the map. Only sections
that occupy bytes in the stripped file count (not .bss, not symbols).
"""

import collections
import os
import re
import subprocess
import sys

OUT_ALONE = re.compile(r"^(\S+)\s*$")
OUT_LINE = re.compile(r"^(\S+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)")
IN_ALONE = re.compile(r"^ (\S+)\s*$")
IN_LINE = re.compile(r"^ (\S+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)(?:\s+(\S.*))?$")
NEXT_LINE = re.compile(r"^\s+0x[0-9a-f]+\s+0x([0-9a-f]+)(?:\s+(\S.*))?$")
MEMBER = re.compile(r"^(.*/)?([^/(]+\.a)\((.+)\)$")


def origin(path, section=None):
    """(group, member) of an input file named by the map."""
    if section in (".got", ".got.plt"):
        # The map books the whole table on the first input file.
        return ("global offset table", "")
    if path is None:
        return ("padding between pieces", "")
    if "libquenvale_core.a(" in path or "CMakeFiles/" in path:
        return ("quenvale's own code", os.path.basename(path.rstrip(")")))
    m = MEMBER.match(path)
    if m:
        return (m.group(2), m.group(3))
    base = os.path.basename(path)
    if base.startswith("crt"):
        return ("crt*.o", base)
    if base.endswith(".o"):
        return ("size_floor.c", base)
    return ("linker", base)


def read_map(path, kept):
    """{(output section, group, member): bytes} for the kept sections."""
    pieces = collections.Counter()
    with open(path, errors="replace") as f:
        lines = f.read().split("\n")
    try:
        lines = lines[lines.index("Linker script and memory map") + 1:]
    except ValueError:
        sys.exit("%s: not a GNU ld map" % path)
    section = None
    waiting = None  # "out" or an input section name whose numbers follow
    for line in lines:
        if waiting is not None:
            m = NEXT_LINE.match(line)
            if m and waiting != "out" and m.group(2):
                if section in kept:
                    pieces[(section,) + origin(m.group(2), section)] += int(m.group(1), 16)
            waiting = None
            if m:
                continue
        if not line:
            continue
        if line[0] not in " \t":
            if line.startswith(("LOAD ", "START GROUP", "END GROUP", "OUTPUT(")):
                continue
            m = OUT_LINE.match(line) or OUT_ALONE.match(line)
            if m:
                section = m.group(1)
                if m.re is OUT_ALONE:
                    waiting = "out"
            continue
        if line.startswith(" *fill*"):
            m = re.match(r"^ \*fill\*\s+0x[0-9a-f]+\s+0x([0-9a-f]+)", line)
            if m and section in kept:
                pieces[(section,) + origin(None)] += int(m.group(1), 16)
            continue
        m = IN_LINE.match(line)
        if m:
            if m.group(3) and section in kept and not m.group(1).startswith("*("):
                pieces[(section,) + origin(m.group(3), section)] += int(m.group(2), 16)
            continue
        m = IN_ALONE.match(line)
        if m and not m.group(1).startswith("*"):
            waiting = m.group(1)
    return pieces


def file_sections(path):
    """{name: bytes in the file} of an ELF file, from readelf."""
    out = subprocess.run(["readelf", "-SW", path], check=True,
                         capture_output=True, text=True).stdout
    found = {}
    for line in out.splitlines():
        m = re.match(r"^\s*\[\s*\d+\]\s+(\S+)\s+(\S+)\s+[0-9a-f]+\s+[0-9a-f]+\s+([0-9a-f]+)", line)
        if m and m.group(2) != "NOBITS" and m.group(2) != "NULL":
            found[m.group(1)] = int(m.group(3), 16)
    return found


def symbols(nm, path):
    out = subprocess.run([nm, "--size-sort", "-S", "-C", path], check=True,
                         capture_output=True, text=True).stdout
    table = {}
    for line in out.splitlines():
        parts = line.split(None, 3)
        if len(parts) == 4 and parts[2].lower() not in "bv":
            table[parts[3]] = int(parts[1], 16)
    return table


def rows(title, header, body):
    print(title)
    widths = [max(len(str(r[i])) for r in [header] + body) for i in range(len(header))]
    fmt = "  " + "  ".join("%-" + str(widths[0]) + "s" if i == 0 else "%" + str(w) + "s"
                          for i, w in enumerate(widths))
    print(fmt % tuple(header))
    for r in body:
        print(fmt % tuple(r))
    print()


def main():
    qv_map, floor_map, qv_file, floor_file, qv_full, floor_full, nm = sys.argv[1:8]
    qv_sections = file_sections(qv_file)
    floor_sections = file_sections(floor_file)
    qv = read_map(qv_map, qv_sections)
    floor = read_map(floor_map, floor_sections)

    def total(pieces, key):
        out = collections.Counter()
        for k, v in pieces.items():
            out[key(k)] += v
        return out

    # The map gives input pieces before the linker merges duplicate strings,
    # .comment texts and attribute notes, and leaves out what it makes
    # itself; both show as the difference to the section's real size. The
    # rest of the file is outside every section.
    by_group = []
    sizes = [os.path.getsize(qv_file), os.path.getsize(floor_file)]
    for pieces, sections, size in ((qv, qv_sections, sizes[0]),
                                   (floor, floor_sections, sizes[1])):
        counter = total(pieces, lambda k: k[1])
        mapped = total(pieces, lambda k: k[0])
        for name, real in sections.items():
            gap = real - mapped[name]
            if gap < 0:
                counter["merged away (strings, .comment, attributes)"] += gap
            elif gap > 0:
                counter["made by the linker"] += gap
        counter["ELF headers, section table, segment alignment"] = size - sum(sections.values())
        by_group.append(counter)
    names = sorted(set(by_group[0]) | set(by_group[1]),
                   key=lambda g: -(by_group[0][g] - by_group[1][g]))
    body = [[g, by_group[0][g], by_group[1][g], "%+d" % (by_group[0][g] - by_group[1][g])]
            for g in names if by_group[0][g] or by_group[1][g]]
    body.append(["total (file size)", sizes[0], sizes[1], "%+d" % (sizes[0] - sizes[1])])
    rows("By origin (bytes in the stripped file):",
         ["origin", "quenvale-init", "floor", "difference"], body)

    # What C++ and exception handling could cost: the C++ runtime
    # (iostream would come from libstdc++.a too), the unwinder, unwind
    # tables and the exception tables.
    def lib(group):
        return [by_group[0][group], by_group[1][group]]

    body = []
    for label, pair in (
            ("libstdc++.a (iostream, strings, containers)", lib("libstdc++.a")),
            ("libsupc++.a (new, delete, typeinfo, throw)", lib("libsupc++.a")),
            ("libgcc_eh.a (unwinder)", lib("libgcc_eh.a")),
            (".eh_frame (unwind tables)",
             [qv_sections.get(".eh_frame", 0), floor_sections.get(".eh_frame", 0)]),
            (".gcc_except_table",
             [qv_sections.get(".gcc_except_table", 0),
              floor_sections.get(".gcc_except_table", 0)])):
        body.append([label, pair[0], pair[1], "%+d" % (pair[0] - pair[1])])
    rows("C++ runtime and exception handling:",
         ["part", "quenvale-init", "floor", "difference"], body)

    sections = sorted(set(qv_sections) | set(floor_sections),
                      key=lambda s: -(qv_sections.get(s, 0) - floor_sections.get(s, 0)))
    body = [[s, qv_sections.get(s, 0), floor_sections.get(s, 0),
             "%+d" % (qv_sections.get(s, 0) - floor_sections.get(s, 0))]
            for s in sections if qv_sections.get(s, 0) != floor_sections.get(s, 0)]
    rows("By section (size -A of the stripped files; sections of equal size left out):",
         ["section", "quenvale-init", "floor", "difference"], body)

    # Exception handling shows up as .eh_frame (unwind tables, present
    # even with -fno-exceptions), .gcc_except_table and the unwinder.
    kinds = collections.Counter()
    for (section, group, _), v in qv.items():
        if group == "quenvale's own code":
            kinds[section] += v
    body = [[s, v] for s, v in kinds.most_common() if v]
    rows("quenvale's own code by section:", ["section", "bytes"], body)

    members_qv = total(qv, lambda k: (k[1], k[2]))
    members_floor = total(floor, lambda k: (k[1], k[2]))
    grown = []
    for key in set(members_qv) | set(members_floor):
        if key[0] in ("quenvale's own code", "size_floor.c", "global offset table",
                      "padding between pieces"):
            continue
        d = members_qv[key] - members_floor[key]
        if d:
            grown.append((d, key))
    grown.sort(reverse=True)
    body = [["%s(%s)" % key if key[0].endswith(".a") else key[1], "%+d" % d]
            for d, key in grown[:25]]
    rows("Library members that quenvale-init pulls in beyond the floor (largest 25 of %d):"
         % len(grown), ["member", "bytes"], body)

    qv_syms = symbols(nm, qv_full)
    floor_syms = symbols(nm, floor_full)
    new = sorted(((v, k) for k, v in qv_syms.items() if k not in floor_syms), reverse=True)
    body = [[k[:70], v] for v, k in new[:20]]
    rows("Largest symbols not in the floor (nm --size-sort of the unstripped builds):",
         ["symbol", "bytes"], body)


if __name__ == "__main__":
    main()
