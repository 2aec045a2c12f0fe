"""--list IMAGE: every archive of an existing image as the kernel takes
them, the files it would leave, and the builder's own checks on them."""

import lzma
import os
import stat
import sys
import zlib

from .checks import check_base, check_image, check_listed_not_compressed
from .compression import ARCHIVE_FORMATS
from .cpio import parse_cpio
from .elf import ET_DYN, ElfError, describe_arch, parse_elf
from .errors import BuildError
from .layout import LIST_PATH, PROGRAMS
from .plan import Entry, listed_paths


class Archive:
    """One cpio archive of an image, plain or in a compressed stream."""

    def __init__(self, offset, compression, packed, members):
        self.offset = offset
        self.compression = compression
        self.packed = packed  # bytes in the image, for a compressed one
        self.members = members


def parse_stream(buf, base, compression, packed, label, archives):
    """The cpio archives in buf, one after another with zeros between;
    returns where something else begins."""
    at = 0
    while at < len(buf):
        if buf[at] == 0:
            at += 1
            continue
        if not buf.startswith(b"0707", at):
            break
        # A compressed stream's archives are named by where it begins.
        offset = base + at if compression == "none" else base
        members, at = parse_cpio(buf, at, "%s: the archive at byte %d" % (label, offset))
        archives.append(Archive(offset, compression, packed, members))
    return at


def read_archives(data, label):
    """Every archive in an image, as the kernel takes them: cpio archives
    and compressed streams of them one after another, zeros between."""
    archives = []
    at = 0
    while at < len(data):
        at += parse_stream(data[at:], at, "none", None, label, archives)
        if at >= len(data):
            break
        for magic, name, make in ARCHIVE_FORMATS:
            if data.startswith(magic, at):
                break
        else:
            raise BuildError("%s: byte %d begins neither a cpio archive nor a "
                             "compressed one" % (label, at))
        if make is None:
            raise BuildError("%s: the %s archive at byte %d is one this builder "
                             "cannot read" % (label, name, at))
        try:
            plain, end = make()(data, at)
        except (ValueError, IndexError, OSError, EOFError, lzma.LZMAError,
                zlib.error) as error:
            raise BuildError("%s: the %s archive at byte %d cannot be unpacked: %s"
                             % (label, name, at, error or "damaged"))
        rest = parse_stream(plain, at, name, end - at, label, archives)
        if rest < len(plain):
            raise BuildError("%s: the %s archive at byte %d holds something after "
                             "its cpio archives" % (label, name, at))
        at = end
    if not archives:
        raise BuildError("%s holds no cpio archive" % label)
    return archives


def member_kind(mode):
    return {stat.S_IFDIR: "dir", stat.S_IFCHR: "nod", stat.S_IFREG: "file",
            stat.S_IFLNK: "link"}.get(stat.S_IFMT(mode), "other")


def unpacked_view(archives, label):
    """The files the kernel leaves in its rootfs, as Entry objects: a later
    member replaces an earlier one, hard links share their data, and a
    symbolic link stands for what it points to in the image. Refuses a
    member before its directory, which the kernel would not unpack."""
    entries = {}
    shared = {}
    for archive in archives:
        for member in archive.members:
            if member.key is not None and member.size:
                shared[member.key] = member.data
    for archive in archives:
        for member in archive.members:
            parent = os.path.dirname(member.path)
            if parent != "/" and (entries.get(parent) is None
                                  or entries[parent].kind != "dir"):
                raise BuildError("%s: %s comes before its directory %s, so the kernel "
                                 "would not unpack it" % (label, member.path, parent))
            data = shared.get(member.key, member.data) if member.key else member.data
            entries[member.path] = Entry(member.path, member_kind(member.mode),
                                         stat.S_IMODE(member.mode), data=data,
                                         dev=member.dev, origin="%s: %s" % (label, member.path))
    for path, entry in list(entries.items()):
        seen = 0
        target = entry
        while target is not None and target.kind == "link" and seen < 40:
            text = os.fsdecode(target.data)
            path_to = os.path.normpath(os.path.join(os.path.dirname(target.path), text))
            target = entries.get("/" + path_to.lstrip("/"))
            seen += 1
        if entry.kind == "link" and target is not None and target.kind != "link":
            entries[path] = Entry(path, target.kind, target.mode, data=target.data,
                                  dev=target.dev, origin="%s: %s (-> %s)"
                                  % (label, path, target.path))
    return entries


def describe_program(entries, path):
    entry = entries.get(path)
    if entry is None or entry.kind != "file":
        return "missing"
    try:
        elf = parse_elf(entry.data)
    except ElfError as error:
        return "damaged ELF (%s)" % error
    if elf is None:
        if entry.data.startswith(b"#!"):
            words = entry.data[2:].split(b"\n", 1)[0].split()
            return "script for %s" % (os.fsdecode(words[0]) if words else "nothing")
        return "not an ELF program"
    if elf.interp is not None:
        linking = "dynamically linked (%s)" % elf.interp
    elif elf.needed:
        linking = "dynamically linked"
    elif elf.type == ET_DYN:
        linking = "static-pie"
    else:
        linking = "static"
    return "%s, %s" % (describe_arch(elf.arch()), linking)


def member_line(mode, kind, size, dev, path):
    shown = "%d,%d" % dev if kind == "nod" else str(size)
    return "%s %10s  %s" % (stat.filemode(mode), shown, path)


def entry_line(entry):
    kinds = {"dir": stat.S_IFDIR, "nod": stat.S_IFCHR, "file": stat.S_IFREG}
    size = len(entry.data) if entry.kind == "file" else 0
    return member_line(kinds[entry.kind] | entry.mode, entry.kind, size, entry.dev,
                       entry.path)


def print_load_order(listed):
    print("load order (%s):" % LIST_PATH)
    for number, path in enumerate(listed or (), start=1):
        print("%3d  %s" % (number, path))
    if not listed:
        print("     none")


def list_image(path):
    """Prints what an image holds; refuses, as the builder would have, an
    image that could not boot."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise BuildError("--list %s: %s" % (path, error.strerror))
    label = path
    archives = read_archives(data, label)
    for number, archive in enumerate(archives, start=1):
        what = archive.compression
        if archive.packed is not None:
            what += ", %d bytes in the image" % archive.packed
        print("archive %d at byte %d: %s" % (number, archive.offset, what))
        for member in archive.members:
            print("  " + member_line(member.mode, member_kind(member.mode), member.size,
                                     member.dev, member.path))
    entries = unpacked_view(archives, label)
    listed = listed_paths(entries)
    print_load_order(listed)
    for program in PROGRAMS:
        print("%s: %s" % (program, describe_program(entries, program)))
    sys.stdout.flush()
    check_base(entries, label)
    if listed is None:
        raise BuildError("%s has no %s" % (label, LIST_PATH))
    for module in listed:
        entry = entries.get(module)
        if entry is None or entry.kind != "file":
            raise BuildError("%s: %s names %s, which the image does not hold as a file"
                             % (label, LIST_PATH, module))
    check_listed_not_compressed(entries, listed)
    check_image(entries, [entries[m] for m in listed], label)
