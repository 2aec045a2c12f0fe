#!/usr/bin/env python3
"""The command line merged with a board file, once, into a frozen record."""

import contextlib
import dataclasses
import io
import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from quenvale_mkimage import arches, options  # noqa: E402
from quenvale_mkimage.errors import BuildError  # noqa: E402

BOARD = '''arch = "mipsel"
module = ["virtio_pci", "ext4"]
exclude = ["crc32-arm-ce"]
file = ["/etc/x=x.txt"]
compress = "gzip"
mtime = 7
modules-dir = "tree"
'''


class MergeTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quenvale-options-test.")
        self.addCleanup(shutil.rmtree, self.dir)
        self.board = os.path.join(self.dir, "board.toml")
        with open(self.board, "w") as f:
            f.write(BOARD)

    def parse(self, *argv):
        return options.parse_options(["--config", self.board, "--dry-run"] + list(argv))

    # (name, command line, field, value)
    CASES = [
        ("the file's scalar", [], "arch", "mipsel"),
        ("a command-line scalar wins", ["--arch", "arm64"], "arch", "arm64"),
        ("the file's list", [], "module", ("virtio_pci", "ext4")),
        ("a command-line list replaces the file's", ["-m", "ext4"], "module", ("ext4",)),
        ("exclude replaced", ["--exclude", "a", "--exclude", "b"], "exclude", ("a", "b")),
        ("the file's number", [], "mtime", 7),
        ("a command-line number wins", ["--mtime", "0"], "mtime", 0),
        ("the file's compression", [], "compression", "gzip"),
        ("--compress wins", ["--compress", "xz"], "compression", "xz"),
        ("--gzip is --compress gzip", ["--gzip"], "compression", "gzip"),
        ("a list asked for here sets the file's compression aside",
         ["--gen-init-cpio"], "compression", "none"),
        ("--no-gen-init-cpio", ["--no-gen-init-cpio"], "gen_init_cpio", False),
        ("a path relative to the file", [], "modules_dir", "{d}/tree"),
        ("a path on the command line stays", ["--modules-dir", "rel"], "modules_dir", "rel"),
        ("a file's SRC relative to the file", [], "file", ("/etc/x={d}/x.txt",)),
    ]

    def test_cases(self):
        for name, argv, field, value in self.CASES:
            with self.subTest(name):
                if isinstance(value, str):
                    value = value.format(d=self.dir)
                elif isinstance(value, tuple):
                    value = tuple(v.format(d=self.dir) for v in value)
                self.assertEqual(getattr(self.parse(*argv), field), value)

    def test_frozen(self):
        record = self.parse()
        with self.assertRaises(dataclasses.FrozenInstanceError):
            record.arch = "x86_64"
        self.assertIsInstance(record.module, tuple)

    BAD_BOARDS = [
        # The choices are the targets of tools/arches.tsv, in order.
        ('arch = "vax"\n', "arch = 'vax' is not one of %s"
         % ", ".join(sorted(arches.target_arches()))),
        ('module = "ext4"\n', "module must be a list of strings, not 'ext4'"),
        ("mtime = true\n", "mtime must be a whole number, not True"),
        ('colour = "red"\n', "unknown key colour"),
        ("arch = \n", "--config .*board.toml: "),
    ]

    def test_bad_boards(self):
        for text, message in self.BAD_BOARDS:
            with self.subTest(text):
                with open(self.board, "w") as f:
                    f.write(text)
                with self.assertRaisesRegex(BuildError, message):
                    self.parse()

    def test_gen_init_cpio_and_the_files_compression(self):
        with open(self.board, "a") as f:
            f.write("gen-init-cpio = true\n")
        with self.assertRaisesRegex(BuildError, "compress = 'gzip' and gen-init-cpio"):
            self.parse()

    def test_list_takes_nothing_else(self):
        err = io.StringIO()
        with contextlib.redirect_stderr(err), self.assertRaises(SystemExit) as caught:
            options.parse_options(["--list", "x.img", "--gzip"])
        self.assertEqual(caught.exception.code, 1)
        self.assertIn("--list takes no other option (--gzip)", err.getvalue())


if __name__ == "__main__":
    unittest.main()
