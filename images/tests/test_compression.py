#!/usr/bin/env python3
"""Compression suffixes, compressed modules, and the image formats written
and read back."""

import gzip
import lzma
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from quenvale_mkimage import compression  # noqa: E402
from quenvale_mkimage.errors import BuildError  # noqa: E402

ELF = b"\x7fELF" + bytes(60)


class SuffixTest(unittest.TestCase):
    CASES = [
        ("ext4.ko.xz", ("ext4.ko", "xz")),
        ("ext4.ko.zst", ("ext4.ko", "zstd")),
        ("ext4.ko.gz", ("ext4.ko", "gzip")),
        ("ext4.ko", ("ext4.ko", None)),
        ("kernel/fs/ext4/ext4.ko.xz", ("kernel/fs/ext4/ext4.ko", "xz")),
        # Only the last suffix is a compression; the rest is the stem.
        ("a.gz.xz", ("a.gz", "xz")),
        ("modules.dep", ("modules.dep", None)),
        # A suffix, not a word inside the name.
        ("xz.ko", ("xz.ko", None)),
        ("a.ko.bz2", ("a.ko.bz2", None)),
        ("", ("", None)),
    ]

    def test_split(self):
        for name, expected in self.CASES:
            with self.subTest(name):
                self.assertEqual(compression.split_compression(name), expected)


def zstd_compress(data):
    return subprocess.run(["zstd", "-q", "-c"], input=data, check=True,
                          stdout=subprocess.PIPE).stdout


class DecompressTest(unittest.TestCase):
    """A module file is read as its suffix says; what is no ELF file then is
    refused."""

    CASES = [
        ("m.ko", lambda d: d, None),
        ("m.ko.xz", lzma.compress, None),
        ("m.ko.gz", lambda d: gzip.compress(d, mtime=0), None),
        ("m.ko.zst", zstd_compress, None),
        # A plain module named as a compressed one cannot be read.
        ("m.ko.xz", lambda d: d, "cannot decompress"),
        ("m.ko.gz", lambda d: d, "cannot decompress"),
        # Compressed but named plain: not ELF as it stands.
        ("m.ko", lzma.compress, "is not an ELF module"),
        ("m.ko.xz", lambda d: lzma.compress(b"text"), "is not an ELF module"),
    ]

    def test_cases(self):
        directory = tempfile.mkdtemp(prefix="quenvale-compression-test.")
        self.addCleanup(shutil.rmtree, directory)
        for number, (name, pack, error) in enumerate(self.CASES):
            with self.subTest("%s %s" % (name, error)):
                if name.endswith(".zst") and shutil.which("zstd") is None:
                    self.skipTest("zstd is not installed")
                path = os.path.join(directory, "%d-%s" % (number, name))
                with open(path, "wb") as f:
                    f.write(pack(ELF))
                if error is None:
                    self.assertEqual(compression.decompress(path), ELF)
                else:
                    with self.assertRaisesRegex(BuildError, error):
                        compression.decompress(path)


class ImageRoundTripTest(unittest.TestCase):
    """Each format the builder writes is read back by the decoder --list
    uses for its magic, to the same bytes and to the stream's end."""

    def test_formats(self):
        data = b"0707010000" + bytes(range(256)) * 300 + b"tail"
        for name in ("gzip", "xz", "zstd", "lz4"):
            with self.subTest(name):
                tool = compression.COMPRESSIONS[name][1]
                if tool is not None and shutil.which(tool[0]) is None:
                    self.skipTest("%s is not installed" % tool[0])
                packed = compression.compress_image(data, name)
                # Something after the stream must stay unread.
                image = packed + b"0707"
                found = [(magic, make) for magic, kind, make in compression.ARCHIVE_FORMATS
                         if kind == name]
                self.assertEqual(len(found), 1)
                magic, make = found[0]
                self.assertTrue(packed.startswith(magic))
                plain, end = make()(image, 0)
                self.assertEqual(plain, data)
                self.assertEqual(end, len(packed))

    def test_none_is_the_archive(self):
        self.assertEqual(compression.compress_image(b"abc", "none"), b"abc")

    def test_xz_check_and_dictionary(self):
        # The kernel's decoder takes CRC32 checks only, and allocates the
        # dictionary the header names.
        packed = compression.compress_image(bytes(5000), "xz")
        self.assertEqual(packed[7], lzma.CHECK_CRC32)

    def test_gzip_header_has_no_name_or_time(self):
        packed = compression.compress_image(b"x" * 100, "gzip")
        self.assertEqual(packed[3], 0)  # FLG: no name
        self.assertEqual(packed[4:8], bytes(4))  # MTIME


class Lz4BlockTest(unittest.TestCase):
    """The LZ4 block decoder on hand-made sequences."""

    CASES = [
        ("literals only", bytes([0x30]) + b"abc", 100, b"abc"),
        # 2 literals, then a match of 4+2 at offset 2: the overlap repeats.
        ("overlapping match", bytes([0x22]) + b"ab" + b"\x02\x00" + bytes([0x00]),
         100, b"ab" + b"ababab"),
        ("long literal length", bytes([0xF0, 3]) + b"x" * 18, 100, b"x" * 18),
        ("match before the start", bytes([0x10]) + b"a" + b"\x05\x00", 100, ValueError),
        ("literals past the end", bytes([0x50]) + b"ab", 100, ValueError),
        ("larger than the limit", bytes([0x1F]) + b"a" + b"\x01\x00" + bytes([200]),
         50, ValueError),
    ]

    def test_cases(self):
        for name, block, limit, expected in self.CASES:
            with self.subTest(name):
                if expected is ValueError:
                    with self.assertRaises(ValueError):
                        compression.lz4_block(block, limit)
                else:
                    self.assertEqual(compression.lz4_block(block, limit), expected)


if __name__ == "__main__":
    unittest.main()
