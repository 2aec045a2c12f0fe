"""The architectures the init and e2fsck are built for, from the project's
one table of them, tools/arches.tsv: adding a row there adds an --arch."""

import functools
import os

from .errors import BuildError

# images/quenvale_mkimage/ -> the checkout's top.
TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TABLE = os.path.join(TOP, "tools", "arches.tsv")
# The columns this builder reads; the table has more.
COLUMNS = ("name", "role", "bits", "order", "elf_machine")


def parse_table(text, where):
    """name -> (bits, order, ELF machine, n32) for each row whose role is
    "target", as Elf.arch() gives a program of that architecture."""
    rows = [(number, line.split("\t"))
            for number, line in enumerate(text.splitlines(), start=1)
            if line.strip() and not line.startswith("#")]
    if not rows:
        raise BuildError("%s has no header line" % where)
    header = rows[0][1]
    missing = [c for c in COLUMNS if c not in header]
    if missing:
        raise BuildError("%s: its header lacks %s" % (where, ", ".join(missing)))
    at = {column: header.index(column) for column in COLUMNS}
    arches = {}
    for number, fields in rows[1:]:
        if len(fields) != len(header):
            raise BuildError("%s line %d: %d fields, the header names %d"
                             % (where, number, len(fields), len(header)))
        row = {column: fields[at[column]] for column in COLUMNS}
        if row["role"] != "target":
            continue
        if row["bits"] not in ("32", "64") or row["order"] not in ("little", "big") \
                or not row["elf_machine"].isdigit():
            raise BuildError("%s line %d: bits, order, elf_machine must be 32 or "
                             "64, little or big, a number: %s %s %s"
                             % (where, number, row["bits"], row["order"],
                                row["elf_machine"]))
        # An n32 MIPS program needs a 64-bit kernel; no build makes one.
        arches[row["name"]] = (int(row["bits"]), row["order"],
                               int(row["elf_machine"]), False)
    return arches


@functools.cache
def target_arches(path=TABLE):
    """The table's targets, read once."""
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError as error:
        raise BuildError("cannot read the table of architectures %s: %s"
                         % (path, error.strerror))
    return parse_table(text, path)


def built_arches():
    """The inverse: an architecture as Elf.arch() gives it -> its name."""
    return {arch: name for name, arch in target_arches().items()}
