#!/usr/bin/env python3
"""Members of the plan: --file destinations, archive order, and the checks
on the programs and modules every image passes."""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from quenvale_mkimage import checks, plan  # noqa: E402
from quenvale_mkimage.errors import BuildError  # noqa: E402
from quenvale_mkimage.plan import Entry  # noqa: E402
from test_mkimage import ET_DYN, ET_REL, MIPSEL, fake_elf  # noqa: E402


class DestinationTest(unittest.TestCase):
    PATHS = [
        ("/etc/x", "/etc/x"),
        ("//etc/./x", "/etc/x"),
        ("/etc/x/", "/etc/x"),
        ("etc/x", "an absolute DEST"),
        ("/etc/../init", 'DEST may not contain ".."'),
    ]

    def test_image_path(self):
        for dest, expected in self.PATHS:
            with self.subTest(dest):
                spec = dest + "=src"
                if expected.startswith("/"):
                    self.assertEqual(plan.image_path(spec, dest), expected)
                else:
                    with self.assertRaisesRegex(BuildError, expected):
                        plan.image_path(spec, dest)

    ENTRIES = {"/bin": Entry("/bin", "dir", 0o755),
               "/bin/e2fsck": Entry("/bin/e2fsck", "file", 0o755, data=b""),
               "/dev": Entry("/dev", "dir", 0o755),
               "/dev/console": Entry("/dev/console", "nod", 0o600, dev=(5, 1))}
    DESTINATIONS = [
        ("/bin/e2fsck", None),  # a file is replaced
        ("/bin/new", None),
        ("/new/dir/file", None),
        ("/", "the image's root directory"),
        ("/bin", "/bin is a directory of the image"),
        ("/dev/console", "the console device"),
        ("/bin/e2fsck/x", "/bin/e2fsck is a file in the image"),
    ]

    def test_check_file_destination(self):
        for path, error in self.DESTINATIONS:
            with self.subTest(path):
                if error is None:
                    plan.check_file_destination(self.ENTRIES, path + "=s", path)
                else:
                    with self.assertRaisesRegex(BuildError, error):
                        plan.check_file_destination(self.ENTRIES, path + "=s", path)

    def test_sort_key_puts_directories_first(self):
        paths = ["/lib/modules/a.ko", "/lib-x", "/lib", "/init", "/bin/e2fsck", "/bin"]
        self.assertEqual(sorted(paths, key=plan.sort_key),
                         ["/bin", "/bin/e2fsck", "/init", "/lib", "/lib/modules/a.ko",
                          "/lib-x"])


def image(init, e2fsck=None, extra=()):
    """The base members with these programs."""
    entries = {d: Entry(d, "dir", 0o755) for d in ("/bin", "/dev", "/etc", "/proc",
                                                   "/root", "/sys")}
    entries["/dev/console"] = Entry("/dev/console", "nod", 0o600, dev=(5, 1))
    entries["/init"] = Entry("/init", "file", 0o755, data=init)
    entries["/bin/e2fsck"] = Entry("/bin/e2fsck", "file", 0o755,
                                   data=fake_elf() if e2fsck is None else e2fsck)
    for path, data, mode in extra:
        entries[path] = Entry(path, "file", mode, data=data)
    return entries


class ProgramTest(unittest.TestCase):
    # (name, entries, modules' data, refusal)
    CASES = [
        ("static programs", image(fake_elf()), [], None),
        ("static-pie", image(fake_elf(etype=ET_DYN, dynamic=[])), [], None),
        ("dynamic", image(fake_elf(interp="/lib/ld.so")), [], "is dynamically linked"),
        ("shared library", image(fake_elf(etype=ET_DYN, dynamic=[], entry=0)), [],
         "is a shared library"),
        ("script for a program in the image",
         image(b"#!/bin/e2fsck -n\n"), [], None),
        ("script for a program not there", image(b"#!/bin/sh\n"), [],
         "a script for /bin/sh, which the image does not hold"),
        ("script for a script", image(b"#!/bin/s\n", extra=[("/bin/s", b"#!/init\n", 0o755)]),
         [], "is not an ELF program"),
        ("two architectures", image(fake_elf(), fake_elf(**MIPSEL)), [],
         "is built for MIPS 32-bit little-endian, but /init for x86-64"),
        ("a module of the programs' kernel", image(fake_elf()),
         [fake_elf(etype=ET_REL, entry=0)], None),
        ("a 64-bit kernel's module with 32-bit programs",
         image(fake_elf(bits=32, machine=3), fake_elf(bits=32, machine=3)),
         [fake_elf(etype=ET_REL, entry=0)], None),
        ("a module of another machine", image(fake_elf()),
         [fake_elf(etype=ET_REL, entry=0, **MIPSEL)], "is built for MIPS"),
        ("a program as module", image(fake_elf()), [fake_elf()],
         "is not a kernel module but an ELF executable"),
        ("no console", {k: v for k, v in image(fake_elf()).items() if k != "/dev/console"},
         [], "has no /dev/console"),
    ]

    def test_cases(self):
        for name, entries, modules, error in self.CASES:
            with self.subTest(name):
                found = [Entry("/m%d.ko" % i, "file", 0o644, data=d)
                         for i, d in enumerate(modules)]
                if error is None:
                    checks.check_image(entries, found)
                else:
                    with self.assertRaisesRegex(BuildError, error):
                        checks.check_image(entries, found)

    COMPRESSED = [(b"\xfd7zXZ\x00rest", "xz"), (b"\x1f\x8brest", "gzip"),
                  (b"\x28\xb5\x2f\xfdrest", "zstd"), (b"\x7fELF", None)]

    def test_listed_modules_not_compressed(self):
        for data, name in self.COMPRESSED:
            with self.subTest(name):
                entries = {"/m.ko": Entry("/m.ko", "file", 0o644, data=data)}
                if name is None:
                    checks.check_listed_not_compressed(entries, ["/m.ko"])
                else:
                    with self.assertRaisesRegex(BuildError, "is a %s-compressed module"
                                                % name):
                        checks.check_listed_not_compressed(entries, ["/m.ko"])


if __name__ == "__main__":
    unittest.main()
