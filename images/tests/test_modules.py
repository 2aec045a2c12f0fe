#!/usr/bin/env python3
"""Module trees: names, modules.dep/softdep/alias parsing, the load order,
exclusion chains, and where a module file goes in the image."""

import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

from quenvale_mkimage import modules  # noqa: E402
from quenvale_mkimage.errors import BuildError  # noqa: E402
from quenvale_mkimage.resolve import Resolver  # noqa: E402


class NameTest(unittest.TestCase):
    CASES = [
        ("kernel/fs/ext4/ext4.ko", "ext4"),
        ("kernel/fs/ext4/ext4.ko.xz", "ext4"),
        ("crc32-arm-ce.ko.zst", "crc32_arm_ce"),
        ("/abs/virtio_blk.ko.gz", "virtio_blk"),
        ("odd.o", "odd.o"),
    ]

    def test_module_name(self):
        for path, name in self.CASES:
            with self.subTest(path):
                self.assertEqual(modules.module_name(path), name)

    PATHS = [
        ("kernel/fs/ext4/ext4.ko.xz", "/lib/modules/6.1.0/kernel/fs/ext4/ext4.ko"),
        ("kernel/fs/ext4/ext4.ko.zst", "/lib/modules/6.1.0/kernel/fs/ext4/ext4.ko"),
        ("kernel/fs/ext4/ext4.ko", "/lib/modules/6.1.0/kernel/fs/ext4/ext4.ko"),
        ("updates/dkms/x.ko.gz", "/lib/modules/6.1.0/updates/dkms/x.ko"),
    ]

    def test_image_module_path(self):
        for rel, path in self.PATHS:
            with self.subTest(rel):
                self.assertEqual(modules.image_module_path("6.1.0", rel), path)


class LocateTest(unittest.TestCase):
    """depmod may have been run on a copy compressed otherwise."""

    CASES = [
        (["a.ko"], "a.ko", "a.ko"),
        (["a.ko.xz"], "a.ko", "a.ko.xz"),
        (["a.ko"], "a.ko.zst", "a.ko"),
        (["a.ko.gz"], "a.ko.xz", "a.ko.gz"),
        (["a.ko", "a.ko.xz"], "a.ko.xz", "a.ko.xz"),
        ([], "a.ko", None),
    ]

    def test_cases(self):
        for files, named, found in self.CASES:
            with self.subTest(files=files, named=named):
                tree = tempfile.mkdtemp(prefix="quenvale-locate-test.")
                self.addCleanup(shutil.rmtree, tree)
                for name in files:
                    open(os.path.join(tree, name), "wb").close()
                if found is None:
                    with self.assertRaisesRegex(BuildError, "module file .*a.ko not found"):
                        modules.locate_module(tree, named)
                else:
                    self.assertEqual(modules.locate_module(tree, named),
                                     os.path.join(tree, found))


def index(dep, softdep="", alias="", builtin=""):
    """An index of kernel/NAME.ko modules: dep {"c": ["b", "a"]}."""
    result = modules.ModuleIndex()
    result.parse_text("".join("kernel/%s.ko.xz:%s\n" % (m, "".join(
        " kernel/%s.ko.xz" % d for d in ds)) for m, ds in dep.items()))
    result.parse_text(softdep + alias)
    result.parse_builtin(builtin)
    return result


class ResolveTest(unittest.TestCase):
    # (name, index, wanted, excluded, load order or the refusal)
    CASES = [
        ("deepest first", index({"c": ["b", "a"], "b": ["a"], "a": []}),
         ["c"], [], ["a", "b", "c"]),
        ("pre before, post after",
         index({"x": [], "p": [], "q": []}, softdep="softdep x pre: p post: q\n"),
         ["x"], [], ["p", "x", "q"]),
        ("softdep through an alias", index({"ext4": [], "crc32c_generic": []},
                                           softdep="softdep ext4 pre: crc32c\n",
                                           alias="alias crypto-crc32c crc32c_generic\n"
                                                 "alias crc32c crc32c_generic\n"),
         ["ext4"], [], ["crc32c_generic", "ext4"]),
        ("one of several providers excluded",
         index({"ext4": [], "crc32_arm_ce": [], "crc32c_generic": []},
               softdep="softdep ext4 pre: crc32c\n",
               alias="alias crc32c crc32-arm-ce\nalias crc32c crc32c_generic\n"),
         ["ext4"], ["crc32-arm-ce"], ["crc32c_generic", "ext4"]),
        ("the last provider excluded",
         index({"ext4": [], "crc32c_generic": []}, softdep="softdep ext4 pre: crc32c\n",
               alias="alias crc32c crc32c_generic\n"),
         ["ext4"], ["crc32c_generic"],
         "--exclude crc32c_generic: ext4 needs it (ext4 -> softdep crc32c -> crc32c_generic)"),
        ("an excluded dependency, with its chain",
         index({"ext4": ["mbcache", "jbd2"], "jbd2": ["crc16"], "mbcache": [], "crc16": []}),
         ["ext4"], ["crc16"], "--exclude crc16: jbd2 needs it (ext4 -> jbd2 -> crc16)"),
        ("an excluded post one is left out",
         index({"x": [], "q": []}, softdep="softdep x post: q\n"), ["x"], ["q"], ["x"]),
        ("wanted and excluded", index({"x": []}), ["x"], ["x"],
         "--exclude x: --module x asks for it"),
        ("built in", index({}, builtin="kernel/fs/ext4/ext4.ko\n"), ["ext4"], [], []),
        ("unknown", index({}), ["nothing"], [], "module nothing not found in the module tree"),
        ("soft loop ends", index({"a": [], "b": []},
                                 softdep="softdep a pre: b\nsoftdep b pre: a\n"),
         ["a"], [], ["b", "a"]),
        ("dependency missing from modules.dep", index({"a": ["ghost"]}), ["a"], [],
         "a needs ghost, which modules.dep does not list"),
    ]

    def test_cases(self):
        for name, tree, wanted, excluded, expected in self.CASES:
            with self.subTest(name):
                resolver = Resolver(tree, excluded)
                if isinstance(expected, str):
                    with self.assertRaises(BuildError) as caught:
                        for module in wanted:
                            resolver.want(module)
                    self.assertEqual(str(caught.exception), expected)
                    continue
                for module in wanted:
                    resolver.want(module)
                self.assertEqual(resolver.order, expected)


class IndexTest(unittest.TestCase):
    def test_builtin_modinfo_aliases(self):
        tree = modules.ModuleIndex()
        tree.parse_builtin_modinfo(b"crc32c_generic.alias=crc32c\0"
                                   b"crc32c_generic.license=GPL\0ext4.alias=fs-ext4\0")
        self.assertEqual(tree.builtin_aliases.match("crc32c"), {"crc32c_generic"})
        self.assertEqual(tree.builtin_aliases.match("GPL"), set())

    GLOBS = [
        ("pci:v00001AF4d00001001sv*sd*bc*sc*i*", "pci:v00001AF4d00001001sv1sd2bc3sc4i5", True),
        ("pci:v00001AF4d00001001sv*sd*bc*sc*i*", "pci:v00001AF4d00001002sv1sd2bc3sc4i5", False),
        ("crc32c", "crc32c", True),
        ("crc32c", "crc32", False),
        ("fs-ext[234]", "fs-ext4", True),
    ]

    def test_alias_globs(self):
        for pattern, text, matches in self.GLOBS:
            with self.subTest(pattern=pattern, text=text):
                table = modules.AliasTable()
                table.add(pattern, "m")
                self.assertEqual(table.match(text), {"m"} if matches else set())


if __name__ == "__main__":
    unittest.main()
