#!/usr/bin/env python3
"""The architectures come from tools/arches.tsv: its "target" rows, and a
row added there is an --arch and a board file's arch at once."""

import os
import shutil
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from quenvale_mkimage import arches  # noqa: E402
from quenvale_mkimage.errors import BuildError  # noqa: E402
from test_mkimage import (ARCHES_TABLE, KERNEL_BASICS, MKIMAGE, Workspace,  # noqa: E402
                          cpio_member, fake_elf)

HEADER = "name\trole\tbits\torder\telf_machine\tother\n"
I386 = "i386\ttarget\t-\ti386-linux-gnu\ti386-linux-gnu\ti386\tqemu-i386-static\ti686\t32" \
       "\tlittle\t3\tlinux-image-686\tqemu-system-x86\tqemu-system-i386 -m 512\tttyS0\n"


class TableTest(unittest.TestCase):
    CASES = [
        ("targets only", "# comment\n" + HEADER + "a\ttarget\t32\tlittle\t8\tx\n"
         "b\tbyteorder\t64\tbig\t22\tx\n", {"a": (32, "little", 8, False)}),
        ("columns found by name", "# c\nelf_machine\tname\tother\trole\torder\tbits\n"
         "62\tx\t-\ttarget\tlittle\t64\n", {"x": (64, "little", 62, False)}),
        ("blank lines", HEADER + "\n" + "a\ttarget\t64\tbig\t22\t-\n\n",
         {"a": (64, "big", 22, False)}),
        ("no header", "# only comments\n", "has no header line"),
        ("a column missing", "name\trole\tbits\torder\n", "its header lacks elf_machine"),
        ("a field missing", HEADER + "a\ttarget\t32\tlittle\t8\n", "line 2: 5 fields"),
        ("bad bits", HEADER + "a\ttarget\t16\tlittle\t8\t-\n", "line 2: bits, order"),
        ("bad machine", HEADER + "a\ttarget\t32\tlittle\t-\t-\n", "line 2: bits, order"),
        # A row of another role need not describe a program.
        ("bad fields of another role", HEADER + "a\tbyteorder\t-\t-\t-\t-\n", {}),
    ]

    def test_cases(self):
        for name, text, expected in self.CASES:
            with self.subTest(name):
                if isinstance(expected, str):
                    with self.assertRaisesRegex(BuildError, "t.tsv:? .*" + expected):
                        arches.parse_table(text, "t.tsv")
                else:
                    self.assertEqual(arches.parse_table(text, "t.tsv"), expected)

    def test_the_projects_table(self):
        # What the builds make, as the ELF header of their programs says.
        table = arches.target_arches(ARCHES_TABLE)
        for name, arch in [("x86_64", (64, "little", 62, False)),
                           ("mipsel", (32, "little", 8, False)),
                           ("mips64el", (64, "little", 8, False)),
                           ("armhf", (32, "little", 40, False)),
                           ("arm64", (64, "little", 183, False))]:
            self.assertEqual(table.get(name), arch, name)
        self.assertNotIn("s390x", table)


class AddedRowTest(unittest.TestCase):
    """i386 added to a copy of the table: the builder takes it with no
    change of its own."""

    def setUp(self):
        self.ws = ws = Workspace(self)
        self.mkimage = ws.path("repo/images/quenvale-mkimage")
        os.makedirs(os.path.dirname(self.mkimage))
        shutil.copy(MKIMAGE, self.mkimage)
        shutil.copytree(os.path.join(os.path.dirname(MKIMAGE), "quenvale_mkimage"),
                        ws.path("repo/images/quenvale_mkimage"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        with open(ARCHES_TABLE) as f:
            table = f.read()
        ws.write("repo/tools/arches.tsv", (table + I386).encode())
        self.built = ws.path("repo/build/musl-i386")
        for rel in ("src/quenvale-init", "e2fsck"):
            ws.write(os.path.join(self.built, rel),
                     fake_elf(bits=32, machine=3, payload=rel.encode()), 0o755)
        ws.write("config-i386", ("# Linux/x86 6.1.0 Kernel Configuration\nCONFIG_X86=y\n"
                                 "CONFIG_BLK_DEV_INITRD=y\nCONFIG_RD_GZIP=y\n"
                                 + KERNEL_BASICS).encode())
        ws.write("board.toml", b'arch = "i386"\ncompress = "gzip"\n')

    CASES = [
        ("--arch", ["--arch", "i386"], None),
        ("a board file", ["--config", "{d}/board.toml"], None),
        ("the e2fsck's architecture", ["--e2fsck", "{b}/e2fsck"], None),
        ("an i386 kernel configuration", ["--arch", "i386", "--kernel-config",
                                          "{d}/config-i386"], None),
        ("an x86_64 program for i386", ["--arch", "i386", "--init", "{d}/bin/init"],
         "--init {d}/bin/init is built for x86-64 64-bit little-endian, "
         "not for --arch i386"),
    ]

    def test_cases(self):
        for name, args, error in self.CASES:
            with self.subTest(name):
                out = self.ws.path("out.img")
                if os.path.exists(out):
                    os.unlink(out)
                code, _, err = self.ws.run(
                    ["-o", out] + [a.format(d=self.ws.dir, b=self.built) for a in args],
                    mkimage=self.mkimage)
                if error is not None:
                    self.assertEqual(code, 1, err)
                    self.assertIn(error.format(d=self.ws.dir), err)
                    continue
                self.assertEqual(code, 0, err)
                for member, rel in (("init", "src/quenvale-init"), ("bin/e2fsck", "e2fsck")):
                    self.assertEqual(cpio_member(out, member),
                                     fake_elf(bits=32, machine=3, payload=rel.encode()),
                                     member)

    def test_x86_64_configuration_runs_i386_programs(self):
        self.ws.write("config-x86_64", ("# Linux/x86 6.1.0 Kernel Configuration\n"
                                        "CONFIG_X86=y\nCONFIG_64BIT=y\n"
                                        "CONFIG_BLK_DEV_INITRD=y\n" + KERNEL_BASICS).encode())
        code, _, err = self.ws.run(["--arch", "i386", "--dry-run", "--kernel-config",
                                    self.ws.path("config-x86_64")], mkimage=self.mkimage)
        self.assertEqual(code, 0, err)


if __name__ == "__main__":
    unittest.main()
