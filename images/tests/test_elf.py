#!/usr/bin/env python3
"""ELF headers on crafted files: the architecture, the linking, damaged
headers, and which programs a kernel of another word size runs."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from quenvale_mkimage import elf  # noqa: E402
from test_mkimage import ET_DYN, ET_EXEC, ET_REL, fake_elf  # noqa: E402


def with_flags(data, flags):
    """data with e_flags set (32-bit little-endian headers)."""
    return data[:36] + flags.to_bytes(4, "little") + data[40:]


class HeaderTest(unittest.TestCase):
    # (name, file, arch(), type, interp, needed)
    CASES = [
        ("x86_64 program", fake_elf(), (64, "little", 62, False), ET_EXEC, None, False),
        ("i386 program", fake_elf(bits=32, machine=3), (32, "little", 3, False),
         ET_EXEC, None, False),
        ("mipsel program", fake_elf(bits=32, machine=8), (32, "little", 8, False),
         ET_EXEC, None, False),
        ("mips n32 program", with_flags(fake_elf(bits=32, machine=8), elf.EF_MIPS_ABI2),
         (32, "little", 8, True), ET_EXEC, None, False),
        # The same flag means nothing on another machine.
        ("ARM flag 0x20", with_flags(fake_elf(bits=32, machine=40), elf.EF_MIPS_ABI2),
         (32, "little", 40, False), ET_EXEC, None, False),
        ("big-endian s390x", fake_elf(order="big", machine=22), (64, "big", 22, False),
         ET_EXEC, None, False),
        ("arm64 module", fake_elf(machine=183, etype=ET_REL, entry=0),
         (64, "little", 183, False), ET_REL, None, False),
        ("dynamic program", fake_elf(interp="/lib/ld-musl-x86_64.so.1", dynamic=[1]),
         (64, "little", 62, False), ET_EXEC, "/lib/ld-musl-x86_64.so.1", True),
        ("static-pie", fake_elf(etype=ET_DYN, dynamic=[]), (64, "little", 62, False),
         ET_DYN, None, False),
        ("library without interpreter", fake_elf(bits=32, etype=ET_DYN, dynamic=[1]),
         (32, "little", 62, False), ET_DYN, None, True),
    ]

    def test_cases(self):
        for name, data, arch, etype, interp, needed in self.CASES:
            with self.subTest(name):
                parsed = elf.parse_elf(data)
                self.assertEqual(parsed.arch(), arch)
                self.assertEqual(parsed.type, etype)
                self.assertEqual(parsed.interp, interp)
                self.assertEqual(parsed.needed, needed)

    DAMAGED = [
        ("cut short", fake_elf()[:40], "cut short"),
        ("bad class", fake_elf()[:4] + b"\x03" + fake_elf()[5:], "cut short or damaged"),
        ("program headers past the end", fake_elf(interp="/x")[:-2], "past its end"),
        ("wrong program header size",
         fake_elf(interp="/x")[:54] + b"\x10\x00" + fake_elf(interp="/x")[56:],
         "program headers are damaged"),
    ]

    def test_damaged(self):
        for name, data, message in self.DAMAGED:
            with self.subTest(name):
                with self.assertRaisesRegex(elf.ElfError, message):
                    elf.parse_elf(data)

    def test_not_elf(self):
        self.assertIsNone(elf.parse_elf(b"#!/bin/sh\n"))


class ArchTest(unittest.TestCase):
    DESCRIBED = [
        ((64, "little", 62, False), "x86-64 64-bit little-endian"),
        ((32, "little", 3, False), "i386 32-bit little-endian"),
        ((32, "little", 8, True), "MIPS 32-bit little-endian n32"),
        ((64, "big", 999, False), "machine 999 64-bit big-endian"),
    ]

    def test_describe(self):
        for arch, text in self.DESCRIBED:
            with self.subTest(text):
                self.assertEqual(elf.describe_arch(arch), text)

    # (programs' arch, modules' arch, the modules' kernel runs the programs)
    RUNS = [
        ((32, "little", 3, False), (64, "little", 62, False), True),
        ((32, "little", 3, False), (32, "little", 3, False), True),
        ((32, "little", 40, False), (64, "little", 183, False), True),
        ((32, "little", 8, False), (64, "little", 8, False), True),
        ((64, "little", 62, False), (32, "little", 3, False), False),
        ((32, "little", 40, False), (64, "little", 62, False), False),
        # An n32 program is no 32-bit program of a 32-bit kernel.
        ((32, "little", 8, True), (32, "little", 8, False), False),
        ((32, "big", 8, False), (64, "little", 8, False), False),
    ]

    def test_runs_modules_of(self):
        for program, module, expected in self.RUNS:
            with self.subTest(program=program, module=module):
                self.assertEqual(elf.runs_modules_of(program, module), expected)


if __name__ == "__main__":
    unittest.main()
