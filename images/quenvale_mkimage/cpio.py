"""The kernel's "newc" cpio format, written and read: 110-byte headers of
hexadecimal fields, names and data aligned on 4 bytes."""

import io
import os
import stat

from .errors import BuildError


def newc_header(ino, mode, nlink, mtime, size, rdev, name_size):
    fields = (ino, mode, 0, 0, nlink, mtime, size, 0, 0, rdev[0], rdev[1],
              name_size, 0)
    return ("070701" + "".join("%08X" % f for f in fields)).encode("ascii")


def pad4(out):
    out.write(b"\0" * (-out.tell() % 4))


def write_member(out, name, ino, mode, nlink, mtime, data, rdev=(0, 0)):
    encoded = os.fsencode(name) + b"\0"
    out.write(newc_header(ino, mode, nlink, mtime, len(data), rdev, len(encoded)))
    out.write(encoded)
    pad4(out)
    out.write(data)
    pad4(out)


def write_newc(entries, mtime):
    out = io.BytesIO()
    # Inode numbers follow the sorted order, so they are the same on every
    # build; no two members share one, so the kernel links none.
    for ino, entry in enumerate(entries, start=1):
        name = entry.path.lstrip("/")
        if entry.kind == "dir":
            write_member(out, name, ino, stat.S_IFDIR | entry.mode, 2, mtime, b"")
        elif entry.kind == "nod":
            write_member(out, name, ino, stat.S_IFCHR | entry.mode, 1, mtime, b"",
                         rdev=entry.dev)
        else:
            write_member(out, name, ino, stat.S_IFREG | entry.mode, 1, mtime,
                         entry.data)
    write_member(out, "TRAILER!!!", 0, 0, 1, 0, b"")
    return out.getvalue()


class Member:
    """One member of an archive read back."""


    def __init__(self, path, mode, size, data, dev, key):
        self.path = path
        self.mode = mode
        self.size = size
        self.data = data
        self.dev = dev  # a device's numbers
        self.key = key  # what hard links share


def parse_cpio(buf, at, where):
    """The members of the newc archive at buf[at:], and where it ends.
    Names and data are aligned on 4 bytes from the start of buf, as the
    kernel counts."""
    members = []
    while True:
        head = buf[at:at + 110]
        if len(head) < 110:
            raise BuildError("%s is cut short" % where)
        if head[:6] not in (b"070701", b"070702"):
            raise BuildError("%s: no newc cpio header at byte %d" % (where, at))
        try:
            fields = [int(head[6 + 8 * i:14 + 8 * i], 16) for i in range(13)]
        except ValueError:
            raise BuildError("%s: a damaged cpio header at byte %d" % (where, at))
        ino, mode, _, _, nlink, _, size, major, minor, rmajor, rminor, name_size, _ = fields
        if name_size == 0:
            raise BuildError("%s: a member without a name at byte %d" % (where, at))
        name = os.fsdecode(buf[at + 110:at + 110 + name_size - 1])
        data_at = at + 110 + name_size
        data_at += -data_at % 4
        end = data_at + size
        if end > len(buf):
            raise BuildError("%s is cut short" % where)
        at = end + -end % 4
        if name == "TRAILER!!!":
            return members, min(at, len(buf))
        path = "/" + "/".join(p for p in name.split("/") if p not in ("", "."))
        key = (major, minor, ino, mode) if nlink > 1 and stat.S_ISREG(mode) else None
        members.append(Member(path, mode, size, buf[data_at:end], (rmajor, rminor), key))
