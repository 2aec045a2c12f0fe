#!/usr/bin/env python3
"""Kernel configurations: the architecture they configure, what any image
needs of them, and whether they are those of the modules' kernel."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from quenvale_mkimage import kconfig, kernel_match  # noqa: E402
from quenvale_mkimage.elf import runs_modules_of  # noqa: E402
from quenvale_mkimage.errors import BuildError  # noqa: E402

BASICS = ("CONFIG_BLK_DEV_INITRD=y\nCONFIG_PROC_FS=y\nCONFIG_SYSFS=y\n"
          "CONFIG_TMPFS=y\nCONFIG_MSDOS_PARTITION=y\n")


def config(text, path="/boot/config"):
    return kconfig.KernelConfig(path, text)


class ArchTest(unittest.TestCase):
    CASES = [
        ("x86_64", "# Linux/x86 6.1.0 Kernel Configuration\nCONFIG_X86=y\nCONFIG_64BIT=y\n",
         (64, "little", 62, False)),
        ("i386", "# Linux/x86 6.1.0 Kernel Configuration\nCONFIG_X86=y\n",
         (32, "little", 3, False)),
        ("i386 by its old header", "# Linux/i386 2.6.32 Kernel Configuration\n",
         (32, "little", 3, False)),
        ("mipsel", "# Linux/mips 6.1.0 Kernel Configuration\nCONFIG_MIPS=y\n"
         "CONFIG_CPU_LITTLE_ENDIAN=y\n", (32, "little", 8, False)),
        ("mips big-endian", "# Linux/mips 6.1.0 Kernel Configuration\n"
         "CONFIG_CPU_BIG_ENDIAN=y\nCONFIG_64BIT=y\n", (64, "big", 8, False)),
        ("armhf", "# Linux/arm 6.1.0 Kernel Configuration\n", (32, "little", 40, False)),
        ("arm64", "# Linux/arm64 6.1.0 Kernel Configuration\nCONFIG_64BIT=y\n",
         (64, "little", 183, False)),
        ("no header: the symbol", "CONFIG_ARM64=y\nCONFIG_ARM=y\nCONFIG_64BIT=y\n",
         (64, "little", 183, False)),
        ("no header: x86 without 64BIT", "CONFIG_X86=y\n", (32, "little", 3, False)),
        ("unknown header, symbol decides",
         "# Linux/weird 6.1.0 Kernel Configuration\nCONFIG_MIPS=y\n",
         (32, "little", 8, False)),
        ("32-bit arm64 does not exist", "# Linux/arm64 6.1.0 Kernel Configuration\n", None),
        ("nothing said", "CONFIG_SMP=y\n", None),
    ]

    def test_cases(self):
        for name, text, expected in self.CASES:
            with self.subTest(name):
                self.assertEqual(kconfig.kernel_arch(config(text)), expected)

    def test_i386_programs(self):
        # An i386 init and e2fsck run on an i386 kernel and on an x86_64 one.
        i386 = (32, "little", 3, False)
        for text in self.CASES[0][1], self.CASES[1][1]:
            with self.subTest(text.splitlines()[-1]):
                self.assertTrue(runs_modules_of(i386, kconfig.kernel_arch(config(text))))


class NeedsTest(unittest.TestCase):
    """What every image needs: one option named each time."""

    CASES = [
        ("all there", BASICS, "none", None),
        ("gzip", BASICS + "CONFIG_RD_GZIP=y\n", "gzip", None),
        ("no initramfs", BASICS.replace("CONFIG_BLK_DEV_INITRD=y\n", ""), "none",
         "cannot use an initramfs: CONFIG_BLK_DEV_INITRD is not set"),
        ("no lz4", BASICS, "lz4", "cannot unpack an lz4 initramfs: CONFIG_RD_LZ4 is not set"),
        ("zstd a module", BASICS + "CONFIG_RD_ZSTD=m\n", "zstd",
         "cannot unpack a zstd initramfs: CONFIG_RD_ZSTD is m, not y"),
        ("no tmpfs", BASICS.replace("CONFIG_TMPFS=y", "CONFIG_TMPFS=n"), "none",
         "CONFIG_TMPFS is n, not y"),
        ("no partition table", BASICS.replace("CONFIG_MSDOS_PARTITION=y\n", ""), "none",
         "neither CONFIG_EFI_PARTITION nor CONFIG_MSDOS_PARTITION"),
        ("EFI partitions will do",
         BASICS.replace("CONFIG_MSDOS_PARTITION", "CONFIG_EFI_PARTITION"), "none", None),
    ]

    def test_cases(self):
        for name, text, compression, error in self.CASES:
            with self.subTest(name):
                if error is None:
                    kconfig.check_kernel_config(config(text), compression)
                else:
                    with self.assertRaisesRegex(BuildError, error):
                        kconfig.check_kernel_config(config(text), compression)


class ReleaseTest(unittest.TestCase):
    # (file name, text, release, the mismatch found or None)
    CASES = [
        ("config-6.1.0-50-4kc-malta", "# Linux/mips 6.1.192 Kernel Configuration\n",
         "6.1.0-50-4kc-malta", None),
        ("config-6.1.0-50-4kc-malta", "", "6.1.0-57-4kc-malta", "file name"),
        ("config", "# Linux/x86 6.1.0 Kernel Configuration\n", "6.1.0-9-686", None),
        ("config", "# Linux/x86 6.2.0 Kernel Configuration\n", "6.1.0-9-686",
         "header is that of Linux 6.2.0"),
        ("config", "# Linux/x86 6.1.5 Kernel Configuration\n", "6.1.4", "Linux 6.1.5"),
        ("config", "# Linux/x86 6.1.5 Kernel Configuration\n", "6.1.5-custom", None),
        ("config", 'CONFIG_LOCALVERSION="-board"\n', "6.1.5-board", None),
        ("config", 'CONFIG_LOCALVERSION="-board"\n', "6.1.5", "LOCALVERSION"),
    ]

    def test_cases(self):
        for base, text, release, problem in self.CASES:
            with self.subTest(base=base, release=release):
                found = kernel_match.release_mismatch(config(text, "/boot/" + base), release)
                if problem is None:
                    self.assertIsNone(found)
                else:
                    self.assertIn(problem, found)

    FLAGS = [
        ("", set()),
        ("CONFIG_SMP=y\nCONFIG_MODULE_UNLOAD=y\nCONFIG_MODVERSIONS=y\n",
         {"SMP", "mod_unload", "modversions"}),
        ("CONFIG_PREEMPT_BUILD=y\n", {"preempt"}),
        ("CONFIG_PREEMPT=y\n", {"preempt"}),
        ("CONFIG_PREEMPT_RT=y\n", {"preempt_rt"}),
        ("CONFIG_SMP=m\n", set()),
    ]

    def test_vermagic_flags(self):
        for text, flags in self.FLAGS:
            with self.subTest(text):
                self.assertEqual(kernel_match.expected_vermagic_flags(config(text)), flags)


if __name__ == "__main__":
    unittest.main()
