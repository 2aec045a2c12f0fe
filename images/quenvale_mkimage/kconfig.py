"""A kernel's configuration (/boot/config-RELEASE): what it says, and the
refusal of a kernel that cannot unpack or start the image."""

import re

from .compression import COMPRESSIONS
from .elf import EM_MIPS
from .errors import BuildError

CONFIG_HEADER = re.compile(r"# Linux/(\S+) (\S+) Kernel Configuration$")


class KernelConfig:
    """A kernel's .config (/boot/config-RELEASE): its options and what its
    header says."""

    def __init__(self, path, text):
        self.path = path
        self.values = {}
        self.header = None  # (source architecture, version)
        for line in text.splitlines():
            line = line.strip()
            match = CONFIG_HEADER.match(line)
            if match and self.header is None:
                self.header = match.groups()
            name, eq, value = line.partition("=")
            if eq and name.startswith("CONFIG_"):
                self.values[name] = value

    def get(self, name, default=None):
        return self.values.get(name, default)

    def is_y(self, name):
        return self.values.get(name) == "y"

    def string(self, name):
        value = self.values.get(name, "")
        if len(value) >= 2 and value[0] == value[-1] == '"':
            value = value[1:-1]
        return value

    def state(self, name):
        value = self.values.get(name)
        return "is not set" if value is None else "is %s, not y" % value


def read_kernel_config(path):
    try:
        with open(path, errors="replace") as f:
            text = f.read()
    except OSError as error:
        raise BuildError("--kernel-config: cannot read the kernel configuration %s: %s"
                         % (path, error.strerror))
    return KernelConfig(path, text)


# What the program needs of any kernel, beside an initramfs in the image's
# format. Only "=y" counts: none of these can be a module.
KERNEL_NEEDS = [
    ("CONFIG_PROC_FS", "mount /proc, where the program reads its command line"),
    ("CONFIG_SYSFS", "mount /sys, where the program finds the block devices"),
    ("CONFIG_TMPFS", "mount the tmpfs the program makes /dev on"),
]


def check_kernel_config(config, compression):
    """Refuses an image the configured kernel cannot unpack or start."""
    wanted = [("CONFIG_BLK_DEV_INITRD", "use an initramfs")]
    option = COMPRESSIONS[compression][0]
    if option is not None:
        article = "an" if compression in ("lz4", "xz") else "a"
        wanted.append((option, "unpack %s %s initramfs" % (article, compression)))
    for option, what in wanted + KERNEL_NEEDS:
        if not config.is_y(option):
            raise BuildError("this kernel cannot %s: %s %s in %s"
                             % (what, option, config.state(option), config.path))
    # PARTUUID= roots and the root's partition need one table format.
    if not (config.is_y("CONFIG_EFI_PARTITION") or config.is_y("CONFIG_MSDOS_PARTITION")):
        raise BuildError("this kernel cannot read a partition table: neither "
                         "CONFIG_EFI_PARTITION nor CONFIG_MSDOS_PARTITION is y in %s"
                         % config.path)


# The kernel's source architecture, as the configuration's header names it:
# its ELF machine for 64-bit builds and for 32-bit ones, and its byte order
# when the configuration has no CPU_BIG_ENDIAN or CPU_LITTLE_ENDIAN.
KERNEL_ARCHES = {"x86": (62, 3, "little"), "mips": (EM_MIPS, EM_MIPS, "little"),
                 "arm": (None, 40, "little"), "arm64": (183, None, "little"),
                 "powerpc": (21, 20, "big"), "s390": (22, 22, "big"),
                 "riscv": (243, 243, "little"), "loongarch": (258, None, "little"),
                 "sparc": (43, 2, "big")}
# Configurations without the header still select their architecture.
KERNEL_ARCH_SYMBOLS = (("CONFIG_X86", "x86"), ("CONFIG_ARM64", "arm64"),
                       ("CONFIG_ARM", "arm"), ("CONFIG_MIPS", "mips"),
                       ("CONFIG_PPC", "powerpc"), ("CONFIG_S390", "s390"),
                       ("CONFIG_RISCV", "riscv"), ("CONFIG_LOONGARCH", "loongarch"),
                       ("CONFIG_SPARC", "sparc"))


def kernel_arch(config):
    """The architecture the configured kernel's modules are built for, as
    Elf.arch() gives it; None when the configuration does not say."""
    name = config.header[0] if config.header else None
    name = {"x86_64": "x86", "i386": "x86"}.get(name, name)
    if name not in KERNEL_ARCHES:
        name = next((arch for symbol, arch in KERNEL_ARCH_SYMBOLS if config.is_y(symbol)),
                    None)
    if name is None:
        return None
    wide, narrow, order = KERNEL_ARCHES[name]
    bits = 64 if config.is_y("CONFIG_64BIT") else 32
    machine = wide if bits == 64 else narrow
    if machine is None:
        return None
    if config.is_y("CONFIG_CPU_BIG_ENDIAN"):
        order = "big"
    elif config.is_y("CONFIG_CPU_LITTLE_ENDIAN"):
        order = "little"
    return (bits, order, machine, False)
