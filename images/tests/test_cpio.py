#!/usr/bin/env python3
"""The newc format: header fields, alignment, and reading back what was
written; damaged archives refused."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from quenvale_mkimage import cpio  # noqa: E402
from quenvale_mkimage.errors import BuildError  # noqa: E402
from quenvale_mkimage.plan import Entry  # noqa: E402


class HeaderTest(unittest.TestCase):
    def test_fields(self):
        header = cpio.newc_header(7, 0o100644, 1, 0x5F5E100, 10, (5, 1), 6)
        self.assertEqual(len(header), 110)
        fields = [int(header[6 + 8 * i:14 + 8 * i], 16) for i in range(13)]
        # ino mode uid gid nlink mtime size devmajor devminor rdevmajor
        # rdevminor namesize check
        self.assertEqual(fields, [7, 0o100644, 0, 0, 1, 0x5F5E100, 10, 0, 0, 5, 1, 6, 0])
        self.assertEqual(header[:6], b"070701")
        # Upper-case hexadecimal, as the kernel's own writer uses.
        self.assertIn(b"5F5E100", header)

    # (name, data): the name and the data each padded to 4 bytes from the
    # archive's start.
    ALIGNMENT = [("a", b""), ("ab", b"x"), ("abc", b"xy"), ("abcd", b"xyz"),
                 ("bin/e2fsck", b"12345")]

    def test_alignment(self):
        for name, data in self.ALIGNMENT:
            with self.subTest(name):
                archive = cpio.write_newc([Entry("/" + name, "file", 0o644, data=data)], 0)
                self.assertEqual(len(archive) % 4, 0)
                name_end = 110 + len(name) + 1
                data_at = name_end + -name_end % 4
                self.assertEqual(archive[110:name_end], name.encode() + b"\0")
                self.assertEqual(archive[name_end:data_at], bytes(data_at - name_end))
                self.assertEqual(archive[data_at:data_at + len(data)], data)


class RoundTripTest(unittest.TestCase):
    def test_members(self):
        entries = [Entry("/bin", "dir", 0o755), Entry("/dev", "dir", 0o755),
                   Entry("/dev/console", "nod", 0o600, dev=(5, 1)),
                   Entry("/init", "file", 0o755, data=b"\x7fELF" * 3)]
        archive = cpio.write_newc(entries, 1234)
        members, end = cpio.parse_cpio(archive, 0, "test")
        self.assertEqual(end, len(archive))
        self.assertEqual([(m.path, m.mode, m.data, m.dev) for m in members], [
            ("/bin", 0o040755, b"", (0, 0)), ("/dev", 0o040755, b"", (0, 0)),
            ("/dev/console", 0o020600, b"", (5, 1)),
            ("/init", 0o100755, b"\x7fELF" * 3, (0, 0))])
        # Inode numbers in order, none shared: the kernel links nothing.
        self.assertEqual([int(archive[at + 6:at + 14], 16) for at in
                          (0, archive.index(b"070701", 1))], [1, 2])

    DAMAGED = [
        ("cut short", lambda a: a[:100], "test is cut short"),
        ("no magic", lambda a: b"070799" + a[6:], "no newc cpio header at byte 0"),
        ("bad number", lambda a: a[:6] + b"zzzzzzzz" + a[14:], "a damaged cpio header"),
        ("no trailer", lambda a: a[:a.index(b"070701", 1)], "cut short"),
        ("data past the end", lambda a: a[:a.index(b"TRAILER") - 120], "cut short"),
    ]

    def test_damaged(self):
        archive = cpio.write_newc([Entry("/f", "file", 0o644, data=b"x" * 40)], 0)
        for name, damage, message in self.DAMAGED:
            with self.subTest(name):
                with self.assertRaisesRegex(BuildError, message):
                    cpio.parse_cpio(damage(archive), 0, "test")


if __name__ == "__main__":
    unittest.main()
