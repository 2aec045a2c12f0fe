"""The checks every image passes, built or listed: the members the kernel
and the program take for granted, static programs of one architecture,
and modules those programs' kernel can load as they are."""

import os

from .elf import (ELF_TYPES, ET_DYN, ET_EXEC, ET_REL, ElfError, describe_arch,
                  parse_elf, runs_modules_of)
from .errors import BuildError
from .layout import BASE_DIRS, CONSOLE, PROGRAMS


# What compressed modules begin with. The program hands a module to
# init_module as it is, and the kernel decompresses only what it opens
# itself (finit_module): a compressed module is refused at boot whatever
# CONFIG_MODULE_DECOMPRESS says.
MODULE_COMPRESSIONS = ((b"\xfd7zXZ\x00", "xz"), (b"\x1f\x8b", "gzip"),
                       (b"\x28\xb5\x2f\xfd", "zstd"))


def check_listed_not_compressed(entries, listed):
    """Tree modules are stored decompressed; a --file can still put a
    compressed one where the list names a module."""
    for path in listed or ():
        entry = entries.get(path)
        if entry is None or entry.kind != "file":
            continue
        for magic, name in MODULE_COMPRESSIONS:
            if entry.data.startswith(magic):
                raise BuildError("%s is a %s-compressed module, which the kernel "
                                 "refuses from init_module: give it decompressed"
                                 % (entry.origin, name))


def program_elf(entries, path, script_allowed=True):
    """The ELF header that decides where the member at path can run: its
    own, or for a script its interpreter's. Refuses what the kernel could
    not execute from the RAM disk."""
    entry = entries[path]
    what = entry.origin
    try:
        elf = parse_elf(entry.data)
    except ElfError as error:
        raise BuildError("%s is no usable program: %s" % (what, error))
    if elf is None:
        if script_allowed and entry.data.startswith(b"#!"):
            return script_interpreter(entries, entry)
        raise BuildError("%s is not an ELF program" % what)
    if elf.type not in (ET_EXEC, ET_DYN):
        raise BuildError("%s is not a program but an ELF %s"
                         % (what, ELF_TYPES.get(elf.type, "of type %d" % elf.type)))
    if elf.interp is not None:
        raise BuildError("%s is dynamically linked (it needs %s and shared "
                         "libraries, which the RAM disk lacks): give a static build"
                         % (what, elf.interp))
    if elf.needed:
        raise BuildError("%s needs shared libraries, which the RAM disk lacks: "
                         "give a static build" % what)
    if elf.type == ET_DYN and elf.entry == 0:
        raise BuildError("%s is a shared library, not a program" % what)
    return elf


def script_interpreter(entries, entry):
    # The kernel runs a "#!" file with the program its first line names,
    # found in the RAM disk like any other path.
    words = entry.data[2:].split(b"\n", 1)[0].split()
    name = os.fsdecode(words[0]) if words else ""
    if not name.startswith("/"):
        raise BuildError("%s is a script without an absolute interpreter path"
                         % entry.origin)
    path = "/" + os.path.normpath(name).lstrip("/")
    held = entries.get(path)
    if held is None or held.kind != "file":
        raise BuildError("%s is a script for %s, which the image does not hold"
                         % (entry.origin, name))
    if not held.mode & 0o111:
        raise BuildError("%s is a script for %s, which is not executable in the "
                         "image" % (entry.origin, name))
    # One level only: a script as interpreter is left to the kernel's
    # other handlers, which an embedded kernel may well lack.
    return program_elf(entries, path, script_allowed=False)


def check_base(entries, label):
    """What the kernel and the program take for granted: the two programs,
    the console the kernel opens before /init runs, and the directories the
    program mounts on and makes its files in."""
    for path in PROGRAMS:
        entry = entries.get(path)
        if entry is None:
            raise BuildError("%s has no %s" % (label, path))
        if entry.kind != "file":
            raise BuildError("%s is not a file" % entry.origin)
    path, mode, major, minor = CONSOLE
    console = entries.get(path)
    if console is None or console.kind != "nod" or console.dev != (major, minor):
        raise BuildError("%s has no %s (character device %d:%d)"
                         % (label, path, major, minor))
    for path in BASE_DIRS:
        entry = entries.get(path)
        if entry is None or entry.kind != "dir":
            raise BuildError("%s has no directory %s" % (label, path))


def check_image(entries, modules, label="the image"):
    """Refuses programs and modules that cannot run together. modules: the
    tree's, not those --file put in their place."""
    check_base(entries, label)
    init = program_elf(entries, "/init")
    e2fsck = program_elf(entries, "/bin/e2fsck")
    arch = init.arch()
    if e2fsck.arch() != arch:
        raise BuildError("%s is built for %s, but %s for %s"
                         % (entries["/bin/e2fsck"].origin, describe_arch(e2fsck.arch()),
                            entries["/init"].origin, describe_arch(arch)))
    for entry in modules:
        try:
            elf = parse_elf(entry.data)
        except ElfError as error:
            raise BuildError("%s is no usable module: %s" % (entry.origin, error))
        if elf is None:
            raise BuildError("%s is not an ELF module" % entry.origin)
        # The kernel loads relocatable objects only.
        if elf.type != ET_REL:
            raise BuildError("%s is not a kernel module but an ELF %s"
                             % (entry.origin, ELF_TYPES.get(elf.type, "of type %d"
                                                            % elf.type)))
        if not runs_modules_of(arch, elf.arch()):
            raise BuildError("%s is built for %s, but %s for %s"
                             % (entry.origin, describe_arch(elf.arch()),
                                entries["/init"].origin, describe_arch(arch)))
