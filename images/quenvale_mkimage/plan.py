"""The plan of an image: its members, from the programs, the module tree
and --file, in archive order, with the load order /etc/quenvale_list
gives."""

import os
import stat

from .checks import check_image, check_listed_not_compressed
from .compression import decompress
from .errors import BuildError
from .layout import BASE_DIRS, CONSOLE, LIST_PATH, PROGRAMS
from .modules import (check_module_tree, image_module_path, load_index,
                      locate_module, normalize)
from .resolve import Resolver


class Entry:
    """One member of the image. kind is 'dir', 'file' or 'nod'."""

    def __init__(self, path, kind, mode, data=None, source=None, dev=(0, 0),
                 origin=None):
        self.path = path
        self.kind = kind
        self.mode = mode
        self.data = data
        self.source = source  # on-disk file holding data, for the file list
        self.dev = dev
        self.origin = origin or path  # how messages name it


def sort_key(path):
    # Component-wise, so a directory always comes before what it holds.
    return tuple(os.fsencode(p) for p in path.strip("/").split("/"))


def image_path(spec, dest):
    """dest as a member name: absolute, no "..", "." or doubled slashes."""
    if not dest.startswith("/"):
        raise BuildError("--file wants DEST=SRC with an absolute DEST: %s" % spec)
    parts = [p for p in dest.split("/") if p not in ("", ".")]
    if ".." in parts:
        # The kernel's unpacker would not follow it; the member would land
        # nowhere the user meant.
        raise BuildError("--file %s: DEST may not contain \"..\"" % spec)
    return "/" + "/".join(parts)


def check_file_destination(entries, spec, path):
    if path == "/":
        raise BuildError("--file %s: / is the image's root directory, not a file"
                         % spec)
    held = entries.get(path)
    if held is not None and held.kind == "dir":
        raise BuildError("--file %s: %s is a directory of the image; a file "
                         "there would take the place of all it holds" % (spec, path))
    if held is not None and held.kind == "nod":
        raise BuildError("--file %s: %s is the console device, which the kernel "
                         "opens before /init runs" % (spec, path))
    parent = os.path.dirname(path)
    while parent != "/":
        above = entries.get(parent)
        if above is not None and above.kind != "dir":
            raise BuildError("--file %s: %s is a file in the image, not a directory"
                             % (spec, parent))
        parent = os.path.dirname(parent)


def read_input(path, label):
    """The bytes of a regular file the user named, and its mode. label
    names it in messages, as the command line did."""
    try:
        info = os.stat(path)
    except FileNotFoundError:
        raise BuildError("%s does not exist" % label)
    except OSError as error:
        raise BuildError("%s: %s" % (label, error.strerror))
    if not stat.S_ISREG(info.st_mode):
        raise BuildError("%s is not a regular file" % label)
    try:
        with open(path, "rb") as f:
            return f.read(), info.st_mode
    except OSError as error:
        raise BuildError("cannot read %s: %s" % (label, error.strerror))


def file_entry(dest, source, mode, what):
    data, _ = read_input(source, "%s %s" % (what, source))
    return Entry(dest, "file", mode, data=data, source=source,
                 origin="%s %s" % (what, source))


class Plan:
    """What an image holds. entries: the members in archive order;
    modules: the tree's module entries still in it, in load order (names:
    their module names); listed: the paths /etc/quenvale_list names."""

    def __init__(self, entries, modules, names, listed, notes):
        self.entries = entries
        self.members = {entry.path: entry for entry in entries}
        self.modules = modules
        self.names = names
        self.listed = listed
        self.notes = notes


def plan_image(options, init, e2fsck, skip=()):
    """The image the options describe, with the programs init and e2fsck. skip:
    directories a module tree walk must leave out."""
    entries = {}

    def add(entry):
        entries[entry.path] = entry
        parent = os.path.dirname(entry.path)
        while parent not in ("/", "") and parent not in entries:
            entries[parent] = Entry(parent, "dir", 0o755)
            parent = os.path.dirname(parent)

    for d in BASE_DIRS:
        add(Entry(d, "dir", 0o755))
    path, mode, major, minor = CONSOLE
    add(Entry(path, "nod", mode, dev=(major, minor)))
    add(file_entry("/init", init, 0o755, "--init"))
    add(file_entry("/bin/e2fsck", e2fsck, 0o755, "--e2fsck"))

    list_lines = []
    modules = []
    names = []
    notes = []
    for option, given in (("--module", options.module), ("--exclude", options.exclude)):
        if given and not options.modules_dir:
            raise BuildError("%s needs --modules-dir" % option)
    if options.modules_dir:
        check_module_tree(options.modules_dir)
        modules_dir = os.path.normpath(options.modules_dir)
        version = os.path.basename(os.path.abspath(modules_dir))
        index = load_index(modules_dir, skip)
        for name in options.exclude:
            # A misspelt name would leave in what the user meant to keep
            # out.
            if normalize(name) not in index.paths:
                built_in = (normalize(name) in index.builtin
                            or index.builtin_aliases.match(name))
                raise BuildError("--exclude %s: no module %s in %s%s" % (
                    name, name, options.modules_dir,
                    " (it is built into the kernel)" if built_in else ""))
        resolver = Resolver(index, options.exclude, "--modules-dir " + options.modules_dir)
        for name in options.module:
            resolver.want(name)
        notes = resolver.notes
        names = resolver.order
        for name in resolver.order:
            source = locate_module(modules_dir, index.paths[name])
            rel = os.path.relpath(source, modules_dir)
            dest = image_module_path(version, rel)
            data = decompress(source)
            plain = source if source.endswith(".ko") else None
            entry = Entry(dest, "file", 0o644, data=data, source=plain,
                          origin="--modules-dir %s: %s" % (options.modules_dir, rel))
            add(entry)
            modules.append(entry)
            list_lines.append(dest)
    add(Entry(LIST_PATH, "file", 0o644,
              data="".join(line + "\n" for line in list_lines).encode()))

    # Extra files come last and replace anything at their path: that is
    # how a test image swaps a module for a broken one.
    for spec in options.file:
        dest, eq, source = spec.partition("=")
        if not eq or not source:
            raise BuildError("--file wants DEST=SRC with an absolute DEST: %s" % spec)
        path = image_path(spec, dest)
        check_file_destination(entries, spec, path)
        data, source_mode = read_input(source, "--file %s: %s" % (spec, source))
        # The kernel and the program execute these whatever the source's
        # mode.
        mode = 0o755 if path in PROGRAMS or source_mode & 0o111 else 0o644
        add(Entry(path, "file", mode, data=data, source=source,
                  origin="--file %s" % spec))
    kept = [(m, n) for m, n in zip(modules, names) if entries.get(m.path) is m]
    check_image(entries, [m for m, _ in kept])
    listed = listed_paths(entries)
    check_listed_not_compressed(entries, listed)
    return Plan([entries[p] for p in sorted(entries, key=sort_key)],
                [m for m, _ in kept], [n for _, n in kept], listed, notes)


def listed_paths(entries):
    """The module paths /etc/quenvale_list names, in order, as the program
    reads them; None when the image has no list."""
    entry = entries.get(LIST_PATH)
    if entry is None or entry.kind != "file":
        return None
    return [line for line in entry.data.decode("utf-8", "replace").splitlines()
            if line.strip()]
