"""Whether a kernel configuration is that of the kernel the image's
modules and programs are for: architecture, release, build salt and the
vermagic flags the kernel compares."""

import os
import re

from .checks import program_elf
from .elf import ElfError, describe_arch, parse_elf, runs_modules_of
from .errors import BuildError
from .kconfig import kernel_arch
from .layout import PROGRAMS


LINUX_NOTE_BUILD_SALT = 0x100


class ModuleInfo:
    """What a module says of the kernel it was built for: its vermagic
    (release, then flags) and the build salt in its Linux notes."""

    def __init__(self, elf):
        sections = elf.sections()
        fields = {}
        for record in sections.get(".modinfo", b"").split(b"\0"):
            key, eq, value = record.decode("utf-8", "replace").partition("=")
            if eq:
                fields.setdefault(key, value)
        self.vermagic = fields.get("vermagic")
        words = (self.vermagic or "").split()
        self.release = words[0] if words else None
        self.flags = set(words[1:])
        self.salt = None
        notes = sections.get(".note.Linux", b"")
        at = 0
        while at + 12 <= len(notes):
            namesz, descsz, kind = (int.from_bytes(notes[at + i:at + i + 4], elf.order)
                                    for i in (0, 4, 8))
            name = notes[at + 12:at + 12 + namesz].rstrip(b"\0")
            desc_at = at + 12 + (namesz + 3) // 4 * 4
            if name == b"Linux" and kind == LINUX_NOTE_BUILD_SALT:
                self.salt = notes[desc_at:desc_at + descsz].split(b"\0")[0].decode(
                    "utf-8", "replace")
            at = desc_at + (descsz + 3) // 4 * 4


def version_numbers(text):
    """(major, minor, sublevel) at the start of a release or version."""
    match = re.match(r"(\d+)\.(\d+)(?:\.(\d+))?", text)
    if match is None:
        return None
    return (int(match.group(1)), int(match.group(2)), int(match.group(3) or 0))


def release_mismatch(config, release):
    """Why config cannot be the configuration of the kernel release, or
    None. A release is VERSION.PATCHLEVEL.SUBLEVEL, then the local
    versions, CONFIG_LOCALVERSION among them; distributions number their
    own releases .0 (Debian's 6.1.0-57 is Linux 6.1.192)."""
    base = os.path.basename(config.path)
    if base.startswith("config-") and base[len("config-"):] != release:
        return "its file name is that of release %s" % base[len("config-"):]
    if config.header:
        version = config.header[1]
        have, want = version_numbers(release), version_numbers(version)
        if have and want and (have[:2] != want[:2] or have[2] not in (0, want[2])):
            return "its header is that of Linux %s" % version
    local = config.string("CONFIG_LOCALVERSION")
    if local and local not in release:
        return 'it sets CONFIG_LOCALVERSION="%s"' % local
    return None


def expected_vermagic_flags(config):
    """The vermagic flags the kernel compares with its own, as its
    configuration sets them (include/linux/vermagic.h)."""
    flags = set()
    for flag, option in (("SMP", "CONFIG_SMP"), ("mod_unload", "CONFIG_MODULE_UNLOAD"),
                         ("modversions", "CONFIG_MODVERSIONS")):
        if config.is_y(option):
            flags.add(flag)
    # PREEMPT_BUILD since 5.16 (PREEMPT and PREEMPT_DYNAMIC select it),
    # PREEMPT alone before.
    if config.is_y("CONFIG_PREEMPT_BUILD") or config.is_y("CONFIG_PREEMPT"):
        flags.add("preempt")
    elif config.is_y("CONFIG_PREEMPT_RT"):
        flags.add("preempt_rt")
    return flags


VERMAGIC_OPTIONS = {"SMP": "CONFIG_SMP", "mod_unload": "CONFIG_MODULE_UNLOAD",
                    "modversions": "CONFIG_MODVERSIONS",
                    "preempt": "CONFIG_PREEMPT_BUILD or CONFIG_PREEMPT",
                    "preempt_rt": "CONFIG_PREEMPT_RT"}


def check_kernel_match(config, options, plan):
    """Refuses a configuration of another kernel than the one the image's
    modules and programs are for, and a kernel that cannot load or mount
    what the image brings."""
    where = "--kernel-config %s" % config.path
    arch = kernel_arch(config)
    infos = []
    for entry in plan.modules:
        elf = parse_elf(entry.data)
        if arch is not None and elf.arch()[:3] != arch[:3]:
            raise BuildError("%s configures a kernel for %s, but %s is built for %s"
                             % (where, describe_arch(arch), entry.origin,
                                describe_arch(elf.arch())))
        try:
            infos.append((entry, ModuleInfo(elf)))
        except ElfError as error:
            raise BuildError("%s is no usable module: %s" % (entry.origin, error))
    if arch is not None:
        for path in PROGRAMS:
            program = program_elf(plan.members, path)
            if not runs_modules_of(program.arch(), arch):
                raise BuildError("%s configures a kernel for %s, which cannot run %s, "
                                 "built for %s" % (where, describe_arch(arch),
                                                   plan.members[path].origin,
                                                   describe_arch(program.arch())))
    releases = [(info.release, "release %s of %s (its vermagic)" % (info.release, entry.origin))
                for entry, info in infos if info.release]
    if options.modules_dir:
        name = os.path.basename(os.path.abspath(options.modules_dir))
        if version_numbers(name):
            releases.append((name, "release %s, the name of --modules-dir %s"
                             % (name, options.modules_dir)))
    for release, what in releases:
        problem = release_mismatch(config, release)
        if problem:
            raise BuildError("%s is the configuration of another kernel than %s: %s"
                             % (where, what, problem))
    salt = config.string("CONFIG_BUILD_SALT")
    expected = expected_vermagic_flags(config)
    for entry, info in infos:
        if salt and info.salt is not None and info.salt != salt:
            raise BuildError('%s is the configuration of another kernel than %s: it sets '
                             'CONFIG_BUILD_SALT="%s", the module was built with "%s"'
                             % (where, entry.origin, salt, info.salt))
        if info.vermagic is None:
            continue
        known = info.flags & set(VERMAGIC_OPTIONS)
        for flag in sorted(known ^ expected):
            state = "not set" if flag in known else "set"
            raise BuildError('%s is the configuration of another kernel than %s: its '
                             'vermagic "%s" %s %s, and %s is %s there; the kernel '
                             'would refuse the module'
                             % (where, entry.origin, info.vermagic.strip(),
                                "has" if flag in known else "lacks", flag,
                                VERMAGIC_OPTIONS[flag], state))
    if plan.listed and not config.is_y("CONFIG_MODULES"):
        raise BuildError("this kernel cannot load modules: CONFIG_MODULES %s in %s, "
                         "and the image lists %d" % (config.state("CONFIG_MODULES"),
                                                     config.path, len(plan.listed)))
    ext4 = config.get("CONFIG_EXT4_FS")
    if ext4 != "y" and not (ext4 == "m" and "ext4" in plan.names):
        detail = ""
        if ext4 == "m":
            detail = ", and ext4 is not among the image's modules (--module ext4)"
        raise BuildError("this kernel cannot mount an ext4 root: CONFIG_EXT4_FS %s in %s%s"
                         % (config.state("CONFIG_EXT4_FS"), config.path, detail))
