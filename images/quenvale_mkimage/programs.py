"""The two programs of the image: the ones named, or the builds of
tools/build.sh and tools/build-e2fsck.sh for the architecture."""

import os

from .arches import TOP, built_arches, target_arches
from .elf import ElfError, describe_arch, parse_elf
from .errors import BuildError
from .plan import read_input


def built_path(arch, *parts):
    return os.path.normpath(os.path.join(TOP, "build", "musl-" + arch, *parts))


def read_elf(path, what):
    """The ELF headers of a program the user named; None when it is no ELF
    file."""
    data, _ = read_input(path, "%s %s" % (what, path))
    try:
        return parse_elf(data)
    except ElfError as error:
        raise BuildError("%s %s is no usable program: %s" % (what, path, error))


def default_init(e2fsck):
    """The shipped init for the architecture the e2fsck binary is built for."""
    elf = read_elf(e2fsck, "--e2fsck")
    if elf is None:
        raise BuildError("--e2fsck %s is not an ELF program" % e2fsck)
    arch = built_arches().get(elf.arch())
    if arch is None:
        raise BuildError("no built init for the architecture of --e2fsck %s (%s); "
                         "name it with --init" % (e2fsck, describe_arch(elf.arch())))
    path = built_path(arch, "src", "quenvale-init")
    if not os.path.isfile(path):
        raise BuildError("%s is missing: run tools/build.sh %s, or name the init with --init"
                         % (path, arch))
    return path


def choose_programs(options):
    """The init and the e2fsck: named, or the builds for --arch."""
    if options.arch is None:
        if options.e2fsck is None:
            raise BuildError("give --arch (%s) for the built init and e2fsck, or "
                             "a static e2fsck with --e2fsck"
                             % " or ".join(sorted(target_arches())))
        return options.init or default_init(options.e2fsck), options.e2fsck
    chosen = {}
    for option, tool, parts in (("--e2fsck", "tools/build-e2fsck.sh", ("e2fsck",)),
                                ("--init", "tools/build.sh", ("src", "quenvale-init"))):
        given = getattr(options, option[2:])
        if given is None:
            path = built_path(options.arch, *parts)
            if not os.path.isfile(path):
                raise BuildError("%s is missing: run %s %s, or name it with %s"
                                 % (path, tool, options.arch, option))
            chosen[option] = path
            continue
        elf = read_elf(given, option)
        # A file that is no ELF program is refused with the image's checks.
        if elf is not None and elf.arch() != target_arches()[options.arch]:
            raise BuildError("%s %s is built for %s, not for --arch %s"
                             % (option, given, describe_arch(elf.arch()), options.arch))
        chosen[option] = given
    return chosen["--init"], chosen["--e2fsck"]
