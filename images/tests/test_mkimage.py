#!/usr/bin/env python3
"""Tests of quenvale-mkimage on small module trees made here.

Run: python3 images/tests/test_mkimage.py   (exit status 0 only when all pass;
it runs the package's unit tests, test_*.py beside this file, as well)

The builder runs as a command, as users run it. Archives are read back with
GNU cpio, an implementation independent of the one under test.
"""

import glob
import gzip
import lzma
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
MKIMAGE = os.path.join(os.path.dirname(HERE), "quenvale-mkimage")
ARCHES_TABLE = os.path.join(os.path.dirname(os.path.dirname(HERE)), "tools", "arches.tsv")
VERSION = "9.9.9-test"
MODROOT = "/lib/modules/%s/" % VERSION


ET_REL, ET_EXEC, ET_DYN = 1, 2, 3
X86_64 = dict(bits=64, order="little", machine=62)
MIPSEL = dict(bits=32, order="little", machine=8)


def fake_elf(bits=64, order="little", machine=62, etype=ET_EXEC, interp=None,
             dynamic=None, entry=0x401000, payload=b""):
    """An ELF file with only the headers a loader reads first: a PT_INTERP
    segment naming interp, a PT_DYNAMIC one holding the tags in dynamic
    (1 is DT_NEEDED), then payload."""
    e = "<" if order == "little" else ">"
    wide = bits == 64
    ehsize, phentsize = (64, 56) if wide else (52, 32)
    blobs = []
    if interp is not None:
        blobs.append((3, interp.encode() + b"\0"))
    if dynamic is not None:
        blobs.append((2, b"".join(struct.pack(e + ("qQ" if wide else "iI"), tag, 1)
                                  for tag in list(dynamic) + [0])))
    offset = ehsize + phentsize * len(blobs)
    phdrs, body = b"", b""
    for p_type, blob in blobs:
        at = offset + len(body)
        if wide:
            phdrs += struct.pack(e + "IIQQQQQQ", p_type, 4, at, at, at, len(blob),
                                 len(blob), 8)
        else:
            phdrs += struct.pack(e + "IIIIIIII", p_type, at, at, at, len(blob),
                                 len(blob), 4, 4)
        body += blob
    ident = struct.pack("4sBBBBB7s", b"\x7fELF", 2 if wide else 1,
                        1 if order == "little" else 2, 1, 0, 0, b"")
    fields = (etype, machine, 1, entry, ehsize if blobs else 0, 0, 0, ehsize,
              phentsize, len(blobs), 0, 0, 0)
    header = ident + struct.pack(e + ("HHIQQQIHHHHHH" if wide else "HHIIIIIHHHHHH"),
                                 *fields)
    return header + phdrs + body + payload


def arch_of(data):
    """fake_elf's arguments for the architecture of an ELF file."""
    return dict(bits=32 if data[4] == 1 else 64,
                order="little" if data[5] == 1 else "big",
                machine=int.from_bytes(data[18:20], "little" if data[5] == 1 else "big"))


# What a kernel needs beside an initramfs to start the program and mount
# an ext4 root.
KERNEL_BASICS = ("CONFIG_PROC_FS=y\nCONFIG_SYSFS=y\nCONFIG_TMPFS=y\n"
                 "CONFIG_EFI_PARTITION=y\nCONFIG_EXT4_FS=y\n")


def fake_module(name, arch=X86_64):
    # A relocatable object of the test programs' architecture; the name in
    # it tells modules apart.
    return fake_elf(etype=ET_REL, entry=0, payload=name.encode(), **arch)


def compress(data, suffix):
    if suffix == ".xz":
        return lzma.compress(data)
    if suffix == ".gz":
        return gzip.compress(data, mtime=0)
    if suffix == ".zst":
        return subprocess.run(["zstd", "-q", "-c"], input=data, check=True,
                              stdout=subprocess.PIPE).stdout
    return data


class Workspace:
    def __init__(self, test):
        self.dir = tempfile.mkdtemp(prefix="quenvale-mkimage-test.")
        test.addCleanup(shutil.rmtree, self.dir)
        self.programs(X86_64)

    def programs(self, arch):
        """Static init and e2fsck stand-ins built for arch."""
        self.init = self.write("bin/init", fake_elf(payload=b"i" * 100, **arch), 0o755)
        self.e2fsck = self.write("bin/e2fsck", fake_elf(payload=b"e" * 50, **arch),
                                 0o755)

    def path(self, rel):
        return os.path.join(self.dir, rel)

    def write(self, rel, data, mode=0o644):
        path = self.path(rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        os.chmod(path, mode)
        return path

    def tree(self, modules, dep=None, softdep="", alias="", builtin="",
             builtin_modinfo=b""):
        """modules: relative paths under kernel/, possibly compressed.
        dep None leaves modules.dep out (depmod must then run)."""
        root = self.path("lib/modules/" + VERSION)
        os.makedirs(root, exist_ok=True)
        for rel in modules:
            name = os.path.basename(rel).split(".ko")[0]
            suffix = rel[rel.index(".ko") + 3:]
            self.write("lib/modules/%s/kernel/%s" % (VERSION, rel),
                       compress(fake_module(name), suffix))
        for file_name, text in (("modules.dep", dep), ("modules.softdep", softdep),
                                ("modules.alias", alias),
                                ("modules.builtin", builtin)):
            if text is not None and (text or file_name == "modules.dep"):
                self.write("lib/modules/%s/%s" % (VERSION, file_name), text.encode())
        if builtin_modinfo:
            self.write("lib/modules/%s/modules.builtin.modinfo" % VERSION,
                       builtin_modinfo)
        return root

    def build(self, *args, output="initrd.img", init=None, env=None):
        out = self.path(output)
        code, stdout, err = self.run(["--init", init or self.init, "--e2fsck",
                                      self.e2fsck, "-o", out] + list(args), env=env)
        return code, stdout, err, out

    def run(self, args, env=None, mkimage=MKIMAGE):
        result = subprocess.run([sys.executable, mkimage] + args, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=env)
        return result.returncode, result.stdout.decode(), result.stderr.decode()


def cpio_run(archive, *args):
    with open(archive, "rb") as f:
        data = f.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    result = subprocess.run(["cpio", "--quiet"] + list(args), input=data,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise AssertionError("cpio %s failed: %s" % (args, result.stderr.decode()))
    return result.stdout


def cpio_names(archive):
    return cpio_run(archive, "-t").decode().split()


def cpio_member(archive, name):
    return cpio_run(archive, "-i", "--to-stdout", name)


def cpio_long_listing(archive):
    """name -> (mode text, owner, group, extra) from cpio -tv."""
    entries = {}
    for line in cpio_run(archive, "-tv").decode().splitlines():
        words = line.split()
        entries[words[-1]] = (words[0], words[2], words[3], words[4])
    return entries


def module_list(archive):
    text = cpio_member(archive, "etc/quenvale_list").decode()
    assert text == "" or text.endswith("\n"), repr(text)
    return text.splitlines()


def listed_names(archive):
    return [os.path.basename(p)[:-3] for p in module_list(archive)]


def dep_lines(deps):
    """{"c": ["b", "a"]} -> modules.dep text with kernel/<name>.ko paths."""
    return "".join("kernel/%s.ko:%s\n" % (m, "".join(" kernel/%s.ko" % d for d in ds))
                   for m, ds in deps.items())


class ResolutionTest(unittest.TestCase):
    """Load order: every module after all it needs (modules.dep and soft
    "pre:" dependencies, found by name or alias), soft "post:" ones after."""

    CASES = [
        # name, deps, softdep, alias, builtin, wanted, extra args, expected
        # order (a set: these in any order keeping the rules), error text
        ("chain", {"c": ["b", "a"], "b": ["a"], "a": []}, "", "", "",
         ["c"], [], ["a", "b", "c"], None),
        ("diamond", {"d": ["b", "c", "a"], "b": ["a"], "c": ["a"], "a": []},
         "", "", "", ["d"], [], {"a", "b", "c", "d"}, None),
        ("wanted twice and as a dependency", {"b": ["a"], "a": []}, "", "", "",
         ["a", "b", "a"], [], ["a", "b"], None),
        ("soft pre through an alias, as ext4 needs crc32c",
         {"ext4": ["jbd2", "crc16"], "jbd2": [], "crc16": [], "crc32c_generic": []},
         "softdep ext4 pre: crypto-crc32c\nsoftdep jbd2 pre: crypto-crc32c\n",
         "alias crypto-crc32c crc32c_generic\nalias crc32c crc32c_generic\n", "",
         ["ext4"], [], {"crc32c_generic", "jbd2", "crc16", "ext4"}, None),
        ("soft post after its user", {"m": [], "n": []}, "softdep m post: n\n",
         "", "", ["m"], [], ["m", "n"], None),
        ("soft dependency loop ends", {"a": [], "b": []},
         "softdep a pre: b\nsoftdep b pre: a\n", "", "", ["a"], [], ["b", "a"], None),
        ("every provider of an alias", {"user": [], "p_x": [], "p_y": []},
         "softdep user pre: thing\n", "alias thing p_y\nalias th?ng p_x\n", "",
         ["user"], [], ["p_x", "p_y", "user"], None),
        ("dash and underscore are one", {"virtio_blk": [], "crc_t10dif": []},
         "", "", "", ["virtio-blk", "crc_t10dif"], [],
         ["virtio_blk", "crc_t10dif"], None),
        ("wanted through an alias", {"real": []}, "", "alias nick real\n", "",
         ["nick"], [], ["real"], None),
        ("built-in wanted module is no error", {"a": []}, "", "",
         "kernel/fs/ext4/ext4.ko\n", ["ext4", "a"], [], ["a"], None),
        ("built-in soft dependency is left out", {"ext4": []},
         "softdep ext4 pre: crc16\n", "", "kernel/lib/crc16.ko\n",
         ["ext4"], [], ["ext4"], None),
        ("unknown soft dependency is skipped", {"m": []},
         "softdep m pre: nowhere\n", "", "", ["m"], [], ["m"], None),
        ("excluded provider", {"user": [], "fast": [], "slow": []},
         "softdep user pre: algo\n", "alias algo fast\nalias algo slow\n", "",
         ["user"], ["--exclude", "fast"], ["slow", "user"], None),
        ("unknown module", {"a": []}, "", "", "", ["nope"], [], None,
         "module nope not found"),
        ("dependency missing from modules.dep", {"a": ["ghost"]}, "", "", "",
         ["a"], [], None, "a needs ghost"),
        ("no modules wanted", {"a": []}, "", "", "", [], [], [], None),
        # An excluded module a kept one needs would stop the boot at its
        # user; one of several providers may go, and a post: one.
        ("excluded dependency", {"c": ["b", "a"], "b": ["a"], "a": []}, "", "", "",
         ["c"], ["--exclude", "a"], None, "--exclude a: c needs it (c -> a)\n"),
        ("excluded through the chain", {"d": ["c"], "c": ["b"], "b": []}, "", "", "",
         ["d"], ["--exclude", "b"], None, "--exclude b: c needs it (d -> c -> b)\n"),
        ("excluded only provider of a pre: soft dependency",
         {"ext4": [], "crc32c_generic": []}, "softdep ext4 pre: crypto-crc32c\n",
         "alias crypto-crc32c crc32c_generic\n", "", ["ext4"],
         ["--exclude", "crc32c-generic"], None, "--exclude crc32c-generic: ext4 needs "
         "it (ext4 -> softdep crypto-crc32c -> crc32c_generic)\n"),
        ("excluded soft dependency named as a module", {"m": [], "n": []},
         "softdep m pre: n\n", "", "", ["m"], ["--exclude", "n"], None,
         "--exclude n: m needs it (m -> n)\n"),
        ("every provider excluded", {"user": [], "fast": [], "slow": []},
         "softdep user pre: algo\n", "alias algo fast\nalias algo slow\n", "",
         ["user"], ["--exclude", "fast", "--exclude", "slow"], None,
         "--exclude fast --exclude slow: user needs one of them"),
        ("excluded post: soft dependency", {"m": [], "n": []}, "softdep m post: n\n",
         "", "", ["m"], ["--exclude", "n"], ["m"], None),
        ("excluded wanted module", {"a": []}, "", "", "", ["a"], ["--exclude", "a"],
         None, "--exclude a: --module a asks for it"),
        ("excluded name no module has", {"a": []}, "", "", "kernel/fs/ext4/ext4.ko\n",
         ["a"], ["--exclude", "ext4"], None,
         "--exclude ext4: no module ext4 in {root} (it is built into the kernel)"),
    ]

    def check_rules(self, order, deps, softdep, alias):
        position = {m: i for i, m in enumerate(order)}
        self.assertEqual(len(position), len(order), "listed twice: %s" % order)
        providers = {}
        for line in alias.splitlines():
            _, pattern, module = line.split()
            providers.setdefault(pattern, []).append(module)
        for module in order:
            for dep in deps.get(module, []):
                self.assertLess(position[dep], position[module], order)
        soft = [line.split()[1:4] for line in softdep.splitlines()]
        for user, kind, name in soft:
            if [name, kind, user] in soft:
                continue  # a loop: one of the two must give way
            for provider in providers.get(name, [name]):
                if provider in position and user in position:
                    if kind == "pre:":
                        self.assertLess(position[provider], position[user], order)
                    else:
                        self.assertGreater(position[provider], position[user], order)

    def test_cases(self):
        for (name, deps, softdep, alias, builtin, wanted, extra, expected,
             error) in self.CASES:
            with self.subTest(name):
                ws = Workspace(self)
                root = ws.tree(["%s.ko" % m for m in deps], dep=dep_lines(deps),
                               softdep=softdep, alias=alias, builtin=builtin)
                args = ["--modules-dir", root] + extra
                for module in wanted:
                    args += ["-m", module]
                code, _, err, out = ws.build(*args)
                if error:
                    self.assertEqual(code, 1, err)
                    self.assertIn(error.format(root=root), err)
                    self.assertEqual(err.count("\n"), 1, err)
                    self.assertFalse(os.path.exists(out), "failed build left output")
                    continue
                self.assertEqual(code, 0, err)
                order = listed_names(out)
                if isinstance(expected, set):
                    self.assertEqual(set(order), expected)
                else:
                    self.assertEqual(order, expected)
                self.check_rules(order, deps, softdep, alias)
                # Every listed path is in the image, as the program opens it.
                names = set(cpio_names(out))
                for path in module_list(out):
                    self.assertTrue(path.startswith(MODROOT), path)
                    self.assertIn(path.lstrip("/"), names)

    def test_builtin_alias_satisfies_soft_dependency(self):
        ws = Workspace(self)
        root = ws.tree(["ext4.ko", "crc32c_generic.ko"],
                       dep=dep_lines({"ext4": [], "crc32c_generic": []}),
                       softdep="softdep ext4 pre: crypto-crc32c\n",
                       alias="alias crypto-crc32c crc32c_generic\n",
                       builtin_modinfo=b"crc32c_intel.alias=crypto-crc32c\0"
                                       b"crc32c_intel.license=GPL\0")
        code, _, err, out = ws.build("--modules-dir", root, "-m", "ext4")
        self.assertEqual(code, 0, err)
        self.assertEqual(listed_names(out), ["ext4"])


class DecompressionTest(unittest.TestCase):
    CASES = [".xz", ".gz", ".zst", ""]

    def test_modules_are_stored_plain(self):
        for suffix in self.CASES:
            with self.subTest(suffix or "plain"):
                ws = Workspace(self)
                root = ws.tree(["drivers/m%s" % (".ko" + suffix)],
                               dep="kernel/drivers/m.ko%s:\n" % suffix)
                code, _, err, out = ws.build("--modules-dir", root, "-m", "m")
                self.assertEqual(code, 0, err)
                path = MODROOT + "kernel/drivers/m.ko"
                self.assertEqual(module_list(out), [path])
                self.assertEqual(cpio_member(out, path.lstrip("/")), fake_module("m"))

    def test_broken_modules_are_refused_at_build_time(self):
        cases = [
            ("corrupt xz", ".ko.xz", b"\xfd7zXZ\0garbage"),
            ("corrupt gzip", ".ko.gz", b"\x1f\x8bgarbage"),
            ("corrupt zstd", ".ko.zst", b"\x28\xb5\x2f\xfdgarbage"),
            ("not ELF", ".ko", b"just text\n"),
            ("not ELF inside xz", ".ko.xz", lzma.compress(b"text")),
        ]
        for name, suffix, data in cases:
            with self.subTest(name):
                ws = Workspace(self)
                root = ws.tree([], dep="kernel/m%s:\n" % suffix)
                ws.write("lib/modules/%s/kernel/m%s" % (VERSION, suffix), data)
                code, _, err, out = ws.build("--modules-dir", root, "-m", "m")
                self.assertEqual(code, 1, err)
                self.assertIn("m" + suffix, err)
                self.assertFalse(os.path.exists(out))


@unittest.skipUnless(shutil.which("cc") and (shutil.which("depmod") or
                                             os.path.exists("/usr/sbin/depmod") or
                                             os.path.exists("/sbin/depmod")),
                     "needs cc and depmod")
class DepmodTest(unittest.TestCase):
    """Without modules.dep the builder runs depmod on the tree. The modules
    are real relocatable objects, so depmod finds the symbol dependency
    itself."""

    SOURCES = {
        # a exports a_func and softly needs whatever provides crypto-c.
        "a": 'const char m1[] __attribute__((section(".modinfo"), used)) = '
             '"softdep=pre: crypto-c";\n'
             'const char ks[] __attribute__((section("__ksymtab_strings"), used)) = '
             '"a_func";\nvoid a_func(void) {}\n',
        "b": "extern void a_func(void);\nvoid b_func(void) { a_func(); }\n",
        "c": 'const char m[] __attribute__((section(".modinfo"), used)) = '
             '"alias=crypto-c";\n',
    }

    def compile(self, ws, name):
        source = ws.write("src/%s.c" % name, self.SOURCES[name].encode())
        obj = ws.path("src/%s.o" % name)
        subprocess.run(["cc", "-c", "-O0", source, "-o", obj], check=True)
        with open(obj, "rb") as f:
            return f.read()

    def test_dependencies_found_by_depmod(self):
        # gzip is the compression Debian's depmod cannot read (it skips
        # such modules without a word).
        for layout in ({"a": ".ko", "b": ".ko", "c": ".ko"},
                       {"a": ".ko.gz", "b": ".ko.xz", "c": ".ko.zst"}):
            with self.subTest(layout):
                ws = Workspace(self)
                root = ws.tree([])
                for name, suffix in layout.items():
                    ws.write("lib/modules/%s/kernel/sub/%s%s" % (VERSION, name, suffix),
                             compress(self.compile(ws, name), suffix[3:]))
                # The host compiler's modules want programs of its machine.
                ws.programs(arch_of(self.compile(ws, "c")))
                before = sorted(os.listdir(root))
                # depmod's temporary tree inside the one it mirrors: the
                # mirror must not take itself in.
                code, _, err, out = ws.build("--modules-dir", root, "-m", "b",
                                             env=dict(os.environ, TMPDIR=root))
                self.assertEqual(code, 0, err)
                self.assertEqual(listed_names(out), ["c", "a", "b"])
                self.assertEqual(sorted(os.listdir(root)), before,
                                 "the module tree was written to")


class ArchiveTest(unittest.TestCase):
    def build_sample(self, ws, *extra, output="initrd.img"):
        root = ws.tree(["fs/x.ko.xz", "lib/y.ko"],
                       dep="kernel/fs/x.ko.xz: kernel/lib/y.ko\nkernel/lib/y.ko:\n")
        code, stdout, err, out = ws.build("--modules-dir", root, "-m", "x",
                                          *extra, output=output)
        self.assertEqual(code, 0, err)
        return out, stdout

    def test_members(self):
        ws = Workspace(self)
        out, _ = self.build_sample(ws)
        listing = cpio_long_listing(out)
        expected = {
            "init": ("-rwxr-xr-x", "root", "root", str(os.path.getsize(ws.init))),
            "bin/e2fsck": ("-rwxr-xr-x", "root", "root",
                           str(os.path.getsize(ws.e2fsck))),
            "dev/console": ("crw-------", "root", "root", "5,"),
            "etc/quenvale_list": ("-rw-r--r--", "root", "root", None),
        }
        for d in ("bin", "dev", "etc", "proc", "root", "sys", "lib", "lib/modules"):
            expected[d] = ("drwxr-xr-x", "root", "root", None)
        for name, (mode, owner, group, extra) in expected.items():
            with self.subTest(name):
                self.assertIn(name, listing)
                got = listing[name]
                self.assertEqual(got[:3], (mode, owner, group))
                if extra is not None:
                    self.assertEqual(got[3], extra)
        self.assertIn("1", cpio_run(out, "-tv", "dev/console").decode().split()[5])
        self.assertEqual(cpio_member(out, "init"), open(ws.init, "rb").read())
        # A directory before anything in it: the kernel makes no parents.
        names = cpio_names(out)
        for i, name in enumerate(names):
            parent = os.path.dirname(name)
            if parent:
                self.assertIn(parent, names[:i], name)

    # args, leading bytes, the system's decompressor. The memory limits are
    # what the kernel would allocate for a 1 MiB window or dictionary.
    FORMATS = [
        # magic, deflate, no flags (no file name), time 0
        (["--gzip"], b"\x1f\x8b\x08\x00\0\0\0\0", ["gzip", "-dc"]),
        (["--compress", "gzip"], b"\x1f\x8b\x08\x00\0\0\0\0", ["gzip", "-dc"]),
        # magic, stream flags: CRC32 check
        (["--compress", "xz"], b"\xfd7zXZ\x00\x00\x01",
         ["xz", "-dc", "--memlimit=2MiB"]),
        (["--compress", "zstd"], b"\x28\xb5\x2f\xfd", ["zstd", "-dc", "--memory=1MB"]),
        # the legacy frame, not the current 04 22 4D 18
        (["--compress", "lz4"], b"\x02\x21\x4c\x18", ["lz4", "-dc"]),
        (["--compress", "none"], b"070701", ["cat"]),
    ]

    def test_compressed_formats(self):
        # Over 2 MiB that does not compress: a compressor left to choose its
        # window or dictionary takes a larger one than the limits allow.
        blob = os.urandom(2300 * 1024)
        first, second = Workspace(self), Workspace(self)
        os.utime(second.init, (1, 1))
        extra = ["--file", "/blob=" + first.write("blob", blob)]
        plain, _ = self.build_sample(first, *extra, output="plain.img")
        with open(plain, "rb") as f:
            archive = f.read()
        for args, head, decompressor in self.FORMATS:
            with self.subTest(args):
                one, _ = self.build_sample(first, *args + extra)
                two, _ = self.build_sample(second, *args + extra)
                with open(one, "rb") as f:
                    data = f.read()
                self.assertEqual(data, open(two, "rb").read(), "not reproducible")
                self.assertEqual(data[:len(head)], head)
                result = subprocess.run(decompressor, input=data,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.assertTrue(result.stdout == archive, "not the plain archive")

    def test_refusals(self):
        """Nothing is written for a kernel that could not unpack the image,
        or without the command that compresses it."""
        initrd = "CONFIG_BLK_DEV_INITRD=y\n" + KERNEL_BASICS
        cases = [
            # name, args, kernel configuration (None: not given), PATH,
            # message (None: accepted)
            ("lz4 not set", ["--compress", "lz4"],
             initrd + "# CONFIG_RD_LZ4 is not set\nCONFIG_RD_GZIP=y\n", None,
             "this kernel cannot unpack an lz4 initramfs: CONFIG_RD_LZ4 is not set in "),
            ("xz missing, only the built-in image's option",
             ["--compress", "xz"], initrd + "CONFIG_INITRAMFS_COMPRESSION_XZ=y\n", None,
             "this kernel cannot unpack an xz initramfs: CONFIG_RD_XZ is not set in "),
            ("zstd set", ["--compress", "zstd"], initrd + "CONFIG_RD_ZSTD=y\n",
             None, None),
            ("no initramfs at all", ["--gzip"],
             "# CONFIG_BLK_DEV_INITRD is not set\nCONFIG_RD_GZIP=y\n", None,
             "this kernel cannot use an initramfs: CONFIG_BLK_DEV_INITRD is not set in "),
            ("plain archive", [], initrd, None, None),
            ("unreadable configuration", ["--compress", "gzip"], "", None,
             "cannot read the kernel configuration "),
            ("no lz4 command", ["--compress", "lz4"], None, "",
             "lz4 is not installed (Debian package lz4)"),
        ]
        for name, args, config, path, message in cases:
            with self.subTest(name):
                ws = Workspace(self)
                args = list(args)
                if config is not None:
                    config_path = ws.path("config-9.9.9")
                    if config:
                        ws.write("config-9.9.9", config.encode())
                    args += ["--kernel-config", config_path]
                env = None
                if path is not None:
                    env = dict(os.environ, PATH=ws.path("bin"))
                code, _, err, out = ws.build(*args, env=env)
                if message is None:
                    self.assertEqual(code, 0, err)
                    self.assertTrue(os.path.exists(out))
                    continue
                self.assertEqual(code, 1, err)
                self.assertEqual(err.count("\n"), 1, err)
                self.assertIn(message, err)
                if config:
                    self.assertIn(config_path, err)
                self.assertFalse(os.path.exists(out))

    def test_reproducible(self):
        # Same content in other places, at other times: same bytes. Other
        # content: other bytes (the comparison can fail).
        for extra in ([], ["--gzip"]):
            with self.subTest(extra):
                first, second = Workspace(self), Workspace(self)
                one, _ = self.build_sample(first, *extra)
                os.utime(second.init, (1, 1))
                two, _ = self.build_sample(second, *extra)
                self.assertEqual(open(one, "rb").read(), open(two, "rb").read())
                third = Workspace(self)
                third.write("bin/init", fake_elf(payload=b"other init"), 0o755)
                three, _ = self.build_sample(third, *extra)
                self.assertNotEqual(open(one, "rb").read(), open(three, "rb").read())

    def test_fixed_header_fields(self):
        ws = Workspace(self)
        out, _ = self.build_sample(ws, "--mtime", "1234567890")
        data = open(out, "rb").read()
        inodes, offset = [], 0
        while True:
            header = data[offset:offset + 110]
            self.assertEqual(header[:6], b"070701")
            fields = [int(header[6 + 8 * i:14 + 8 * i], 16) for i in range(13)]
            name_size, size = fields[11], fields[6]
            name = data[offset + 110:offset + 110 + name_size - 1].decode()
            if name == "TRAILER!!!":
                break
            self.assertEqual((fields[2], fields[3]), (0, 0), name)  # uid, gid
            self.assertEqual(fields[5], 1234567890, name)  # mtime
            inodes.append(fields[0])
            offset += 110 + name_size
            offset += -offset % 4 + size
            offset += -offset % 4
        self.assertEqual(len(set(inodes)), len(inodes))
        self.assertEqual(len(data) % 4, 0)

    def test_extra_files(self):
        ws = Workspace(self)
        script = ws.write("extra/tool", b"#!/bin/sh\n", 0o755)
        text = ws.write("extra/note", b"broken module\n", 0o644)
        out, _ = self.build_sample(
            ws, "--file", "/usr/bin/tool=" + script,
            "--file", MODROOT + "kernel/lib/y.ko=" + text)
        listing = cpio_long_listing(out)
        self.assertEqual(listing["usr/bin/tool"][0], "-rwxr-xr-x")
        # Replacing a module keeps it in the list: a test image can ship a
        # module the program must refuse.
        self.assertEqual(cpio_member(out, MODROOT.lstrip("/") + "kernel/lib/y.ko"),
                         b"broken module\n")
        self.assertIn(MODROOT + "kernel/lib/y.ko", module_list(out))
        names = cpio_names(out)
        self.assertEqual(len(names), len(set(names)))

    def test_bad_arguments(self):
        cases = [
            ("relative destination", ["--file", "etc/x=/dev/null"], "absolute"),
            ("no source", ["--file", "/etc/x"], "DEST=SRC"),
            ("missing source", ["--file", "/etc/x=/nonexistent/file"], "nonexistent"),
            ("module without tree", ["-m", "x"], "--modules-dir"),
            ("two compressions", ["--gzip", "--compress", "xz"], "exclude each other"),
            ("compressed file list", ["--gen-init-cpio", "--compress", "zstd"],
             "exclude each other"),
        ]
        for name, args, message in cases:
            with self.subTest(name):
                ws = Workspace(self)
                code, _, err, out = ws.build(*args)
                self.assertNotEqual(code, 0)
                self.assertIn(message, err)
                self.assertFalse(os.path.exists(out))

    def test_default_init_needs_a_known_checker(self):
        # Without --init, the e2fsck binary's ELF header names the build.
        cases = [
            ("not ELF", b"#!/bin/sh\n", "is not an ELF program"),
            ("another machine", fake_elf(bits=64, machine=243), "no built init"),
            ("another byte order", fake_elf(bits=32, order="big", machine=8), "no built init"),
        ]
        for name, header, message in cases:
            with self.subTest(name):
                ws = Workspace(self)
                checker = ws.write("e2fsck", header)
                out = ws.path("initrd.img")
                result = subprocess.run(
                    [sys.executable, MKIMAGE, "--e2fsck", checker, "-o", out],
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, result.stderr.decode())
                self.assertFalse(os.path.exists(out))

    def test_no_modules(self):
        ws = Workspace(self)
        code, _, err, out = ws.build()
        self.assertEqual(code, 0, err)
        self.assertEqual(cpio_member(out, "etc/quenvale_list"), b"")

    def test_options_become_init_arguments(self):
        # The program skips argv[1]: the options need one word before them.
        ws = Workspace(self)
        _, stdout = self.build_sample(ws, "--options", "queue_depth=64  dyndbg")
        self.assertEqual(stdout, "-- quenvale queue_depth=64 dyndbg\n")


def write_inputs(ws):
    """The programs, modules and trees InputTest's tables name."""
    for rel, data, mode in [
            ("dyn", fake_elf(interp="/lib64/ld-linux-x86-64.so.2"), 0o755),
            ("needs", fake_elf(etype=ET_DYN, dynamic=[1]), 0o755),  # DT_NEEDED
            ("lib.so", fake_elf(etype=ET_DYN, dynamic=[], entry=0), 0o755),
            ("pie", fake_elf(etype=ET_DYN, dynamic=[]), 0o755),  # static-pie
            ("obj.o", fake_elf(etype=ET_REL, entry=0), 0o644),
            ("text", b"hello\n", 0o755),
            ("script", b"#!/bin/busybox sh\nexec true\n", 0o755),
            ("busybox", fake_elf(payload=b"busybox"), 0o755),
            ("noexec", fake_elf(payload=b"wrapper"), 0o644),
            ("cut", fake_elf()[:40], 0o755),  # ends inside its header
            ("mipsel", fake_elf(**MIPSEL), 0o755),
            ("mipsbe", fake_elf(bits=32, order="big", machine=8), 0o755),
            ("x32", fake_elf(bits=32, machine=62), 0o755),
            ("i386", fake_elf(bits=32, machine=3), 0o755),
            ("note", b"a note\n", 0o644),
            ("m.ko.xz", lzma.compress(fake_module("m")), 0o644),
            ("config-4", b"CONFIG_BLK_DEV_INITRD=y\nCONFIG_INIT_ENV_ARG_LIMIT=4\n"
             + KERNEL_BASICS.encode(), 0o644),
            ("notatree/readme", b"not modules\n", 0o644)]:
        ws.write(rel, data, mode)
    for tree, name, data in [("mips", "m.ko", fake_module("m", MIPSEL)),
                             ("mipsxz", "m.ko.xz", lzma.compress(fake_module("m", MIPSEL))),
                             ("exec", "m.ko", fake_elf()),
                             ("x86", "m.ko", fake_module("m"))]:
        ws.write("trees/%s/kernel/%s" % (tree, name), data)
        ws.write("trees/%s/modules.dep" % tree, b"kernel/%s:\n" % name.encode())
    os.makedirs(ws.path("out"))


P = ["--init", "{d}/bin/init", "--e2fsck", "{d}/bin/e2fsck"]


class InputTest(unittest.TestCase):
    """Whatever could not boot, or could not check its root, is refused
    before anything is written; whatever can stays allowed."""

    REFUSED = [
        # name, arguments ({d}: the workspace), message, environment
        ("neither --arch nor --e2fsck", [], "give --arch"),
        ("unknown --arch", ["--arch", "arm"], "invalid choice: 'arm'"),
        ("dynamic e2fsck", P + ["--e2fsck", "{d}/dyn"], "--e2fsck {d}/dyn is "
         "dynamically linked (it needs /lib64/ld-linux-x86-64.so.2"),
        ("dynamic init by --file", P + ["--file", "/init={d}/dyn"],
         "--file /init={d}/dyn is dynamically linked"),
        ("libraries without an interpreter", P + ["--e2fsck", "{d}/needs"],
         "needs shared libraries"),
        ("shared library", P + ["--init", "{d}/lib.so"], "is a shared library"),
        ("relocatable object", P + ["--init", "{d}/obj.o"],
         "is not a program but an ELF relocatable object"),
        ("text as init", P + ["--init", "{d}/text"], "--init {d}/text is not an ELF program"),
        ("cut-short ELF", P + ["--e2fsck", "{d}/cut"], "cut short"),
        ("script without its interpreter", P + ["--file", "/init={d}/script"],
         "is a script for /bin/busybox, which the image does not hold"),
        ("script with a non-executable interpreter",
         P + ["--file", "/init={d}/script", "--file", "/bin/busybox={d}/noexec"],
         "not executable"),
        ("script with a dynamic interpreter",
         P + ["--file", "/init={d}/script", "--file", "/bin/busybox={d}/dyn"],
         "dynamically linked"),
        ("e2fsck of another machine", P + ["--e2fsck", "{d}/mipsel"],
         "--e2fsck {d}/mipsel is built for MIPS 32-bit little-endian, but --init"),
        ("e2fsck of another byte order", P + ["--init", "{d}/mipsel", "--e2fsck",
                                              "{d}/mipsbe"], "MIPS 32-bit big-endian"),
        ("e2fsck of another class", P + ["--e2fsck", "{d}/x32"], "x86-64 32-bit"),
        ("module of another machine", P + ["--modules-dir", "{d}/trees/mips", "-m", "m"],
         "--modules-dir {d}/trees/mips: kernel/m.ko is built for MIPS"),
        ("compressed module of another machine",
         P + ["--modules-dir", "{d}/trees/mipsxz", "-m", "m"], "kernel/m.ko.xz is built for MIPS"),
        ("64-bit modules of another machine than the 32-bit init",
         P + ["--init", "{d}/mipsel", "--e2fsck", "{d}/mipsel", "--modules-dir",
              "{d}/trees/x86", "-m", "m"], "is built for x86-64 64-bit"),
        ("module that is a program", P + ["--modules-dir", "{d}/trees/exec", "-m", "m"],
         "is not a kernel module but an ELF executable"),
        ("--arch against the programs", P + ["--arch", "mipsel"],
         "--e2fsck {d}/bin/e2fsck is built for x86-64 64-bit little-endian, not for --arch mipsel"),
        ("--file over /etc", P + ["--file", "/etc/={d}/note"],
         "/etc is a directory of the image"),
        ("--file over a directory spelled oddly", P + ["--file", "//bin/./={d}/note"],
         "/bin is a directory of the image"),
        ("--file over the root", P + ["--file", "/={d}/note"], "root directory"),
        ("--file over a module directory",
         P + ["--modules-dir", "{d}/trees/x86", "-m", "m", "--file",
              "/lib/modules/x86/kernel={d}/note"], "/lib/modules/x86/kernel is a directory"),
        ("--file below a file", P + ["--file", "/init/x={d}/note"],
         "/init is a file in the image"),
        ("--file with ..", P + ["--file", "/usr/../etc={d}/note"], 'may not contain ".."'),
        ("--file over the console", P + ["--file", "/dev/console={d}/note"], "console device"),
        ("--file from a directory", P + ["--file", "/etc/x={d}"], "is not a regular file"),
        ("output directory missing", P + ["-o", "{d}/out/no/initrd.img"],
         "-o {d}/out/no/initrd.img: the directory {d}/out/no does not exist"),
        ("output is a directory", P + ["-o", "{d}/out"], "-o {d}/out is a directory"),
        ("no module tree", P + ["--modules-dir", "{d}/notatree"], "is no kernel module tree"),
        ("missing module tree", P + ["--modules-dir", "{d}/nowhere"], "does not exist"),
        ("quote in options", P + ["--options", 'a="b c"'], "double quote"),
        ("second -- in options", P + ["--options", "a -- b"], 'second "--"'),
        ("more options than init arguments", P + ["--options", " ".join(["o"] * 32)],
         "CONFIG_INIT_ENV_ARG_LIMIT=32"),
        ("options over the configured limit",
         P + ["--options", "a b c d", "--kernel-config", "{d}/config-4"],
         "CONFIG_INIT_ENV_ARG_LIMIT=4"),
        ("time past 32 bits", P + ["--mtime", "4294967296"], "does not fit a cpio header"),
        ("time stamp that is no number", P, "SOURCE_DATE_EPOCH=soon is not",
         {"SOURCE_DATE_EPOCH": "soon"}),
        ("file list of a refused image", P + ["--gen-init-cpio", "--e2fsck", "{d}/dyn"],
         "dynamically linked"),
        ("--exclude without a tree", P + ["--exclude", "m"], "--exclude needs --modules-dir"),
        # The program hands modules to init_module as they are: the kernel
        # takes no compressed one that way, whatever its configuration.
        ("compressed module by --file",
         P + ["--modules-dir", "{d}/trees/x86", "-m", "m", "--file",
              "/lib/modules/x86/kernel/m.ko={d}/m.ko.xz"],
         "--file /lib/modules/x86/kernel/m.ko={d}/m.ko.xz is a xz-compressed module"),
        ("-o - with --options", P + ["-o", "-", "--options", "a=1"],
         "-o - and --options would both write to standard output"),
        ("file list on standard output without a stage",
         P + ["-o", "-", "--gen-init-cpio"], "needs --stage-dir"),
        ("--list with a build option", ["--list", "{d}/note", "--gzip"],
         "--list takes no other option"),
        ("stage holding the module tree",
         P + ["--gen-init-cpio", "--modules-dir", "{d}/trees/x86", "--stage-dir",
              "{d}/trees"], "holds --modules-dir"),
    ]

    # Refusals of what would be written, which a dry run writes nowhere.
    WRITING_ONLY = {"-o - with --options"}

    def test_refused(self):
        for name, args, message, *env in self.REFUSED:
            for dry_run in ([], ["--dry-run"]) if name not in self.WRITING_ONLY else ([],):
                with self.subTest(name, dry_run=bool(dry_run)):
                    ws = Workspace(self)
                    write_inputs(ws)
                    out = ws.path("out/initrd.img")
                    code, stdout, err = ws.run(
                        ["-o", out] + [a.format(d=ws.dir) for a in args] + dry_run,
                        env=dict(os.environ, **env[0]) if env else None)
                    self.assertEqual(code, 1, err)
                    self.assertEqual(stdout, "")
                    self.assertRegex(err, r"\Aquenvale-mkimage: [^\n]+\n\Z")
                    self.assertIn(message.format(d=ws.dir), err)
                    self.assertEqual(os.listdir(ws.path("out")), [])

    ACCEPTED = [
        # name, arguments, member, its source (None: not compared)
        ("static-pie e2fsck", P + ["--e2fsck", "{d}/pie"], "bin/e2fsck", "{d}/pie"),
        ("script init beside its interpreter, as the busybox benchmark",
         P + ["--file", "/init={d}/script", "--file", "/bin/busybox={d}/busybox"],
         "init", "{d}/script"),
        ("e2fsck wrapper beside the real one",
         P + ["--file", "/bin/e2fsck={d}/noexec", "--file", "/bin/e2fsck.real={d}/bin/e2fsck"],
         "bin/e2fsck", "{d}/noexec"),
        ("a 64-bit kernel's modules beside a 32-bit init",
         P + ["--init", "{d}/i386", "--e2fsck", "{d}/i386", "--modules-dir",
              "{d}/trees/x86", "-m", "m"], "init", "{d}/i386"),
        ("module of another machine replaced by --file",
         P + ["--modules-dir", "{d}/trees/mips", "-m", "m", "--file",
              "/lib/modules/mips/kernel/m.ko={d}/note"], "lib/modules/mips/kernel/m.ko",
         "{d}/note"),
        ("as many options as the kernel hands over",
         P + ["--options", " ".join(["o"] * 31)], None, None),
        ("last time a cpio header holds", P + ["--mtime", "4294967295"], None, None),
    ]

    def test_accepted(self):
        for name, args, member, source in self.ACCEPTED:
            with self.subTest(name):
                ws = Workspace(self)
                write_inputs(ws)
                out = ws.path("out/initrd.img")
                code, _, err = ws.run(["-o", out] + [a.format(d=ws.dir) for a in args])
                self.assertEqual(code, 0, err)
                if member is not None:
                    with open(source.format(d=ws.dir), "rb") as f:
                        self.assertEqual(cpio_member(out, member), f.read())
                # The kernel and the program execute these whatever the
                # source's mode.
                listing = cpio_long_listing(out)
                for program in ("init", "bin/e2fsck"):
                    self.assertEqual(listing[program][0], "-rwxr-xr-x", program)

    ARCH_CASES = [
        # name, files built for mipsel, arguments, /init and /bin/e2fsck
        # sources ({b}: the build directory) or the message
        ("--arch takes both built programs", ("e2fsck", "src/quenvale-init"),
         ["--arch", "mipsel"], ("{b}/src/quenvale-init", "{b}/e2fsck")),
        ("an explicit e2fsck wins", ("src/quenvale-init",),
         ["--arch", "mipsel", "--e2fsck", "{d}/mipsel"], ("{b}/src/quenvale-init", "{d}/mipsel")),
        ("an explicit init wins", ("e2fsck",),
         ["--arch", "mipsel", "--init", "{d}/mipsel"], ("{d}/mipsel", "{b}/e2fsck")),
        ("without --arch the e2fsck chooses the init", ("src/quenvale-init",),
         ["--e2fsck", "{d}/mipsel"], ("{b}/src/quenvale-init", "{d}/mipsel")),
        ("e2fsck not built", ("src/quenvale-init",), ["--arch", "mipsel"],
         "{b}/e2fsck is missing: run tools/build-e2fsck.sh mipsel, or name it with --e2fsck"),
        ("init not built", ("e2fsck",), ["--arch", "mipsel"],
         "{b}/src/quenvale-init is missing: run tools/build.sh mipsel"),
    ]

    @staticmethod
    def builder_in_own_tree(ws):
        """A copy of the builder in a tree of its own: its build/ is the
        test's, whatever this checkout has built."""
        write_inputs(ws)
        mkimage = ws.path("repo/images/quenvale-mkimage")
        os.makedirs(os.path.dirname(mkimage))
        shutil.copy(MKIMAGE, mkimage)
        shutil.copytree(os.path.join(os.path.dirname(MKIMAGE), "quenvale_mkimage"),
                        ws.path("repo/images/quenvale_mkimage"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        os.makedirs(ws.path("repo/tools"))
        shutil.copy(ARCHES_TABLE, ws.path("repo/tools/arches.tsv"))
        return mkimage

    def test_arch_defaults(self):
        for name, built, args, expected in self.ARCH_CASES:
            with self.subTest(name):
                ws = Workspace(self)
                mkimage = self.builder_in_own_tree(ws)
                b = ws.path("repo/build/musl-mipsel")
                for rel in built:
                    ws.write(os.path.join(b, rel),
                             fake_elf(payload=rel.encode(), **MIPSEL), 0o755)
                out = ws.path("out/initrd.img")
                code, _, err = ws.run(["-o", out] + [a.format(d=ws.dir) for a in args],
                                      mkimage=mkimage)
                if isinstance(expected, str):
                    self.assertEqual(code, 1, err)
                    self.assertIn(expected.format(b=b, d=ws.dir), err)
                    self.assertFalse(os.path.exists(out))
                    continue
                self.assertEqual(code, 0, err)
                for member, source in zip(("init", "bin/e2fsck"), expected):
                    with open(source.format(b=b, d=ws.dir), "rb") as f:
                        self.assertEqual(cpio_member(out, member), f.read(), member)


    # Each architecture the builds make, as its ELF header names it.
    BUILT_ARCHES = [("x86_64", 64, 62), ("mipsel", 32, 8), ("mips64el", 64, 8),
                    ("armhf", 32, 40), ("arm64", 64, 183), ("i386", 32, 3)]

    def test_each_arch_takes_its_own_build(self):
        for arch, bits, machine in self.BUILT_ARCHES:
            with self.subTest(arch):
                ws = Workspace(self)
                mkimage = self.builder_in_own_tree(ws)
                # Every build present, so a wrong pick shows in the image.
                for other, other_bits, other_machine in self.BUILT_ARCHES:
                    for rel in ("src/quenvale-init", "e2fsck"):
                        ws.write(ws.path("repo/build/musl-%s/%s" % (other, rel)),
                                 fake_elf(bits=other_bits, machine=other_machine,
                                          payload=(other + rel).encode()), 0o755)
                b = ws.path("repo/build/musl-" + arch)
                for args in (["--arch", arch], ["--e2fsck", b + "/e2fsck"]):
                    out = ws.path("out/%s-%d.img" % (arch, len(args[0])))
                    code, _, err = ws.run(["-o", out] + args, mkimage=mkimage)
                    self.assertEqual(code, 0, err)
                    for member, rel in (("init", "src/quenvale-init"), ("bin/e2fsck", "e2fsck")):
                        with open(os.path.join(b, rel), "rb") as f:
                            self.assertEqual(cpio_member(out, member), f.read(), (args, member))


class FileListTest(unittest.TestCase):
    """The gen_init_cpio list describes the same image as the archive."""

    def test_list_matches_archive(self):
        ws = Workspace(self)
        root = ws.tree(["fs/x.ko.xz", "lib/y.ko"],
                       dep="kernel/fs/x.ko.xz: kernel/lib/y.ko\nkernel/lib/y.ko:\n")
        common = ["--modules-dir", root, "-m", "x"]
        code, _, err, archive = ws.build(*common)
        self.assertEqual(code, 0, err)
        code, _, err, listing = ws.build("--gen-init-cpio", *common,
                                         output="initramfs.list")
        self.assertEqual(code, 0, err)
        archive_modes = cpio_long_listing(archive)
        described = []
        for line in open(listing).read().splitlines():
            words = line.split()
            kind, name = words[0], words[1].lstrip("/")
            described.append(name)
            mode_text = archive_modes[name][0]
            if kind == "dir":
                self.assertEqual(len(words), 5, line)
                self.assertEqual(mode_text[0], "d")
                mode = words[2]
            elif kind == "nod":
                self.assertEqual(words[2:], ["0600", "0", "0", "c", "5", "1"])
                mode = words[2]
            else:
                self.assertEqual(kind, "file", line)
                self.assertEqual(len(words), 6, line)
                source, mode = words[2], words[3]
                self.assertTrue(os.path.isabs(source), line)
                with open(source, "rb") as f:
                    self.assertEqual(f.read(), cpio_member(archive, name), name)
            if kind != "nod":
                self.assertEqual(words[-2:], ["0", "0"], line)
            self.assertEqual(int(mode, 8), mode_bits(mode_text), line)
        self.assertEqual(sorted(described), sorted(archive_modes))

    def test_blank_in_a_name_is_refused(self):
        ws = Workspace(self)
        extra = ws.write("extra/a file", b"x")
        code, _, err, out = ws.build("--gen-init-cpio", "--file", "/etc/x=" + extra,
                                     output="initramfs.list")
        self.assertEqual(code, 1, err)
        self.assertIn("a file", err)
        self.assertFalse(os.path.exists(out))


def run_builder(args, env=None):
    result = subprocess.run([sys.executable, MKIMAGE] + args, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    return result.returncode, result.stdout, result.stderr.decode()


def assert_refused(test, code, err, message, out_dir):
    """One line naming the problem, status 1, nothing written."""
    test.assertEqual(code, 1, err)
    test.assertRegex(err, r"\Aquenvale-mkimage: [^\n]+\n\Z")
    test.assertIn(message, err)
    test.assertEqual(os.listdir(out_dir), [])


class OutputTest(unittest.TestCase):
    """What the builder says: one summary line, the dry run's plan, the
    image on standard output."""

    def sample(self, ws):
        root = ws.tree(["fs/x.ko.xz", "lib/y.ko"],
                       dep="kernel/fs/x.ko.xz: kernel/lib/y.ko\nkernel/lib/y.ko:\n")
        return ["--init", ws.init, "--e2fsck", ws.e2fsck, "--modules-dir", root, "-m", "x"]

    def test_summary_line(self):
        ws = Workspace(self)
        args = self.sample(ws)
        code, _, err = run_builder(args + ["-o", ws.path("plain.img")])
        self.assertEqual(code, 0, err)
        plain = os.path.getsize(ws.path("plain.img"))
        members = len(cpio_names(ws.path("plain.img")))
        self.assertEqual(err, "quenvale-mkimage: wrote %s: %d members, %d bytes\n"
                         % (ws.path("plain.img"), members, plain))
        for compression in ("gzip", "xz"):
            with self.subTest(compression):
                out = ws.path(compression + ".img")
                code, _, err = run_builder(args + ["--compress", compression, "-o", out])
                self.assertEqual(code, 0, err)
                self.assertEqual(err, "quenvale-mkimage: wrote %s: %d members, %d bytes, "
                                 "%d bytes %s\n" % (out, members, plain,
                                                    os.path.getsize(out), compression))

    def test_standard_output_is_the_image(self):
        ws = Workspace(self)
        args = self.sample(ws) + ["--gzip"]
        code, _, err = run_builder(args + ["-o", ws.path("file.img")])
        self.assertEqual(code, 0, err)
        code, stdout, err = run_builder(args + ["-o", "-"])
        self.assertEqual(code, 0, err)
        self.assertEqual(stdout, open(ws.path("file.img"), "rb").read())
        self.assertRegex(err, r"\Aquenvale-mkimage: wrote standard output: [^\n]+\n\Z")
        # A file list too, its files in the stage named.
        code, stdout, err = run_builder(args[:-1] + ["--gen-init-cpio", "-o", "-",
                                                     "--stage-dir", ws.path("stage")])
        self.assertEqual(code, 0, err)
        self.assertIn(b"file /etc/quenvale_list %s/etc/quenvale_list 0644 0 0\n"
                      % ws.path("stage").encode(), stdout)

    def test_dry_run(self):
        # The plan printed is the image written, which --list reads back
        # (and ListTest compares with GNU cpio's reading).
        ws = Workspace(self)
        os.makedirs(ws.path("out"))
        args = self.sample(ws) + ["--compress", "xz", "--options", "q=1"]
        code, _, err = run_builder(args + ["-o", ws.path("real.img")])
        self.assertEqual(code, 0, err)
        plain = len(run_builder(self.sample(ws) + ["-o", "-"])[1])
        code, stdout, err = run_builder(args + ["-o", ws.path("out/initrd.img"), "--dry-run"])
        self.assertEqual(code, 0, err)
        self.assertEqual(err, "")
        self.assertEqual(os.listdir(ws.path("out")), [])
        listed = run_builder(["--list", ws.path("real.img")])[1].decode().splitlines()
        at = listed.index("load order (/etc/quenvale_list):")
        members, order = [line[2:] for line in listed[1:at]], listed[at:-2]
        self.assertEqual(stdout.decode().splitlines()[:len(members) + len(order)],
                         members + order)
        self.assertIn("total: %d members, " % len(members), stdout.decode())
        self.assertIn("; archive %d bytes, %d bytes xz\n"
                      % (plain, os.path.getsize(ws.path("real.img"))), stdout.decode())


def make_cpio(ws, files):
    """A newc archive made by GNU cpio of files ({name: data}, in order; a
    name ending in / is a directory)."""
    top = tempfile.mkdtemp(dir=ws.dir)
    for name, data in files.items():
        if name.endswith("/"):
            os.makedirs(os.path.join(top, name), exist_ok=True)
        else:
            os.makedirs(os.path.dirname(os.path.join(top, name)), exist_ok=True)
            with open(os.path.join(top, name), "wb") as f:
                f.write(data)
    names = "".join(n.rstrip("/") + "\n" for n in files).encode()
    return subprocess.run(["cpio", "--quiet", "-o", "-H", "newc"], input=names, cwd=top,
                          stdout=subprocess.PIPE, check=True).stdout


class ListTest(unittest.TestCase):
    """--list reads every image the builder writes, and archives one after
    another as the kernel takes them, and refuses what could not boot."""

    FORMATS = ["gzip", "xz", "zstd", "lz4", "none"]

    def image(self, ws, compression, *extra, name=None):
        root = ws.tree(["fs/x.ko.xz", "lib/y.ko"],
                       dep="kernel/fs/x.ko.xz: kernel/lib/y.ko\nkernel/lib/y.ko:\n")
        out = ws.path(name or compression + ".img")
        code, _, err = run_builder(["--init", ws.init, "--e2fsck", ws.e2fsck,
                                    "--modules-dir", root, "-m", "x", "--compress",
                                    compression, "-o", out] + list(extra))
        self.assertEqual(code, 0, err)
        return open(out, "rb").read()

    def listing(self, ws, data):
        path = ws.path("listed.img")
        with open(path, "wb") as f:
            f.write(data)
        code, stdout, err = run_builder(["--list", path])
        return code, stdout.decode(), err

    def test_formats_and_concatenations(self):
        ws = Workspace(self)
        # Over 8 MiB that does not compress: lz4's legacy frame takes
        # several blocks.
        big = ws.write("big", os.urandom(9 << 20))
        images = {c: self.image(ws, c) for c in self.FORMATS}
        images["lz4 big"] = self.image(ws, "lz4", "--file", "/big=" + big, name="big.img")
        extra = self.image(ws, "gzip", "--file", "/etc/extra=" + ws.write("x", b"x\n"),
                           name="extra.img")
        cases = [[c] for c in images] + [["none", "gzip"], ["gzip", "xz"],
                                         ["zstd", "none"], ["lz4", "gzip"]]
        for parts in cases:
            with self.subTest(parts):
                data = b"".join(images[p] + b"\0" * 8 for p in parts) + extra
                code, stdout, err = self.listing(ws, data)
                self.assertEqual(code, 0, err)
                self.assertEqual(err, "")
                formats = [line.split(": ", 1)[1].split(",")[0]
                           for line in stdout.splitlines() if line.startswith("archive ")]
                self.assertEqual(formats, [p.split()[0] for p in parts] + ["gzip"])
                self.assertIn("  -rw-r--r--          2  /etc/extra\n", stdout)
                self.assertIn("  -rwxr-xr-x %10d  /init\n" % os.path.getsize(ws.init),
                              stdout)
                if "lz4 big" in parts:
                    self.assertIn("%10d  /big\n" % (9 << 20), stdout)
                self.assertIn("load order (/etc/quenvale_list):\n  1  %skernel/lib/y.ko\n"
                              "  2  %skernel/fs/x.ko\n" % (MODROOT, MODROOT), stdout)
                self.assertIn("/init: x86-64 64-bit little-endian, static\n", stdout)

    def test_hard_links(self):
        # GNU cpio stores a file's data once, with its last name; the kernel
        # links the names, so every one of them is the module.
        ws = Workspace(self)
        good = self.image(ws, "none")
        top = tempfile.mkdtemp(dir=ws.dir)
        module = MODROOT.lstrip("/") + "kernel/lib/y.ko"
        os.makedirs(os.path.join(top, os.path.dirname(module)))
        with open(os.path.join(top, module), "wb") as f:
            f.write(fake_module("y"))
        os.link(os.path.join(top, module), os.path.join(top, "spare.ko"))
        linked = subprocess.run(["cpio", "--quiet", "-o", "-H", "newc"],
                                input=("%s\nspare.ko\n" % module).encode(), cwd=top,
                                stdout=subprocess.PIPE, check=True).stdout
        code, stdout, err = self.listing(ws, good + linked)
        self.assertEqual(code, 0, err)
        self.assertIn("0  /%s\n" % module, stdout)

    def test_refused(self):
        ws = Workspace(self)
        good = self.image(ws, "gzip")
        module = MODROOT.lstrip("/") + "kernel/lib/y.ko"
        dyn = fake_elf(interp="/lib64/ld-linux-x86-64.so.2")
        mips = fake_elf(**MIPSEL)
        cases = [
            # name, image, message
            ("dynamic /init", good + make_cpio(ws, {"init": dyn}), "/init is dynamically linked"),
            ("dynamic e2fsck", good + make_cpio(ws, {"bin/e2fsck": dyn}),
             "/bin/e2fsck is dynamically linked"),
            ("programs of two machines", good + make_cpio(ws, {"bin/e2fsck": mips}),
             "/bin/e2fsck is built for MIPS 32-bit little-endian, but"),
            ("listed module absent",
             good + make_cpio(ws, {"etc/quenvale_list": b"/lib/nope.ko\n"}),
             "names /lib/nope.ko, which the image does not hold"),
            ("listed module not ELF", good + make_cpio(ws, {module: b"text\n"}),
             "/%s is not an ELF module" % module),
            ("listed module compressed",
             good + make_cpio(ws, {module: lzma.compress(fake_module("y"))}),
             "is a xz-compressed module"),
            ("module of another machine",
             good + make_cpio(ws, {module: fake_module("y", MIPSEL)}), "is built for MIPS"),
            ("no /init", make_cpio(ws, {"bin/": None, "bin/e2fsck": b""}), "has no /init"),
            ("no console", make_cpio(ws, {"init": fake_elf(), "bin/": None,
                                          "bin/e2fsck": fake_elf()}), "has no /dev/console"),
            ("member before its directory", good + make_cpio(ws, {"usr/bin/x": b""}),
             "/usr/bin/x comes before its directory /usr"),
            ("cut short", good[:-20], "the gzip archive at byte 0 cannot be unpacked"),
            ("not an image", b"hello", "byte 0 begins neither a cpio archive"),
        ]
        for name, data, message in cases:
            with self.subTest(name):
                code, _, err = self.listing(ws, data)
                self.assertEqual(code, 1, err)
                self.assertRegex(err, r"\Aquenvale-mkimage: [^\n]+\n\Z")
                self.assertIn(message, err)


BOARD = """# a board
arch = "x86_64"
init = "bin/init"
e2fsck = "bin/e2fsck"
modules-dir = "lib/modules/9.9.9-test"
module = ["x"]
file = ["/etc/note=note"]
compress = "gzip"
output = "board.img"
"""


class BoardFileTest(unittest.TestCase):
    """A board file gives the long options; paths are its directory's; the
    command line wins, a list given there replacing the file's."""

    CASES = [
        # name, board file, command line, output, module list, gzip?, message
        ("the file alone", BOARD, [], "board.img", ["y", "x"], True, None),
        ("a list given replaces the file's", BOARD, ["-m", "y"], "board.img", ["y"],
         True, None),
        ("a scalar given wins", BOARD, ["--compress", "none", "-o", "{d}/cli.img"],
         "cli.img", ["y", "x"], False, None),
        ("--gzip wins too", BOARD.replace('"gzip"', '"none"'), ["--gzip"], "board.img",
         ["y", "x"], True, None),
        ("unknown key", BOARD + "modules = []\n", [], None, None, None,
         "--config {d}/board.toml: unknown key modules"),
        ("a list as a string", BOARD.replace('["x"]', '"x"'), [], None, None, None,
         "module must be a list of strings, not 'x'"),
        ("a time as a string", BOARD + 'mtime = "0"\n', [], None, None, None,
         "mtime must be a whole number"),
        ("a switch as a number", BOARD + "gen-init-cpio = 1\n", [], None, None, None,
         "gen-init-cpio must be true or false"),
        ("an unknown architecture", BOARD.replace('"x86_64"', '"sparc"'), [], None, None,
         None, "arch = 'sparc' is not one of"),
        ("a table", BOARD + "[board]\nname = 1\n", [], None, None, None,
         "unknown key board"),
        ("no TOML", BOARD + "module =\n", [], None, None, None, "--config {d}/board.toml: "),
        ("a file list of a compressed board", BOARD + "gen-init-cpio = true\n", [], None,
         None, None, "compress = 'gzip' and gen-init-cpio exclude each other"),
        ("no board file", None, [], None, None, None, "--config {d}/board.toml: No such file"),
    ]

    def test_cases(self):
        for name, board, args, output, modules, gzipped, message in self.CASES:
            with self.subTest(name):
                ws = Workspace(self)
                ws.tree(["x.ko", "y.ko"], dep="kernel/x.ko: kernel/y.ko\nkernel/y.ko:\n")
                ws.write("note", b"from the board\n")
                if board is not None:
                    ws.write("board.toml", board.encode())
                before = sorted(os.listdir(ws.dir))
                # From elsewhere: the file's paths are its directory's.
                result = subprocess.run(
                    [sys.executable, MKIMAGE, "--config", ws.path("board.toml")]
                    + [a.format(d=ws.dir) for a in args], cwd="/",
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                err = result.stderr.decode()
                if message is not None:
                    self.assertEqual(result.returncode, 1, err)
                    self.assertRegex(err, r"\Aquenvale-mkimage: [^\n]+\n\Z")
                    self.assertIn(message.format(d=ws.dir), err)
                    self.assertEqual(sorted(os.listdir(ws.dir)), before)
                    continue
                self.assertEqual(result.returncode, 0, err)
                out = ws.path(output)
                self.assertEqual(sorted(os.listdir(ws.dir)), sorted(before + [output]))
                self.assertEqual(open(out, "rb").read()[:2] == b"\x1f\x8b", gzipped)
                self.assertEqual(listed_names(out), modules)
                self.assertEqual(cpio_member(out, "etc/note"), b"from the board\n")

    def test_file_list_asked_on_the_command_line(self):
        # The board's compression is for its images: a file list asked for
        # here is the kernel build's to compress.
        ws = Workspace(self)
        ws.tree(["x.ko", "y.ko"], dep="kernel/x.ko: kernel/y.ko\nkernel/y.ko:\n")
        ws.write("note", b"n\n")
        board = ws.write("board.toml", BOARD.encode())
        code, _, err = run_builder(["--config", board, "--gen-init-cpio",
                                    "-o", ws.path("list")])
        self.assertEqual(code, 0, err)
        self.assertIn("file /init %s 0755 0 0\n" % ws.init, open(ws.path("list")).read())


REPO = os.path.dirname(os.path.dirname(HERE))
BOOT_CACHE = os.environ.get("QUENVALE_BOOT_CACHE") or os.path.join(REPO, ".cache", "boot")
# The boot tests' guests (tools/lib/guests.sh) and their programs' ELF
# headers.
GUESTS = {"x86_64": (X86_64, "x86-64 64-bit little-endian"),
          "mipsel": (MIPSEL, "MIPS 32-bit little-endian"),
          "mips64el": (dict(bits=64, order="little", machine=8), "MIPS 64-bit little-endian"),
          "armhf": (dict(bits=32, order="little", machine=40), "ARM 32-bit little-endian"),
          "arm64": (dict(bits=64, order="little", machine=183), "AArch64 64-bit little-endian"),
          "i386": (dict(bits=32, order="little", machine=3), "i386 32-bit little-endian")}
GUEST_TREES = {}


def tearDownModule():
    for tree in GUEST_TREES.values():
        if tree is not None:
            shutil.rmtree(tree["base"], ignore_errors=True)


def guest_tree(arch):
    """The Debian kernel qv_fetch_guest unpacked for arch: its
    configuration, its release, and its module tree mirrored with the
    modules.dep depmod writes (once, not on every build). None when it was
    not fetched."""
    if arch in GUEST_TREES:
        return GUEST_TREES[arch]
    root = os.path.join(BOOT_CACHE, arch, "root")
    configs = sorted(glob.glob(os.path.join(root, "boot", "config-*")))
    trees = sorted(glob.glob(os.path.join(root, "lib", "modules", "*")))
    depmod = shutil.which("depmod") or "/usr/sbin/depmod"
    GUEST_TREES[arch] = None
    if configs and trees and os.access(depmod, os.X_OK):
        release = os.path.basename(trees[0])
        base = tempfile.mkdtemp(prefix="quenvale-guest-%s." % arch)
        mirror = os.path.join(base, "lib", "modules", release)
        os.makedirs(mirror)
        for name in os.listdir(trees[0]):
            source = os.path.join(trees[0], name)
            if name == "kernel":
                os.symlink(source, os.path.join(mirror, name))
            elif os.path.isfile(source):
                shutil.copy(source, mirror)
        subprocess.run([depmod, "-b", base, release], check=True)
        GUEST_TREES[arch] = dict(base=base, modules=mirror, release=release,
                                 text=open(configs[0]).read())
    return GUEST_TREES[arch]


def virtio_board(arch):
    return glob.glob(os.path.join(os.path.dirname(HERE), "boards",
                                  arch + "-*-virtio.toml"))[0]


def set_option(name, value):
    """A change to a configuration: the option's line set to value (None:
    "is not set"), in place."""
    line = "# %s is not set" % name if value is None else "%s=%s" % (name, value)

    def change(text, tree):
        pattern = r"(?m)^(# )?%s( is not set|=.*)$" % name
        if re.search(pattern, text):
            return re.sub(pattern, line.format(**tree), text, count=1)
        return text + line.format(**tree) + "\n"
    return change


def toggle_preemption(text, tree):
    if "\nCONFIG_PREEMPT_BUILD=y\n" in text:
        return set_option("CONFIG_PREEMPT_BUILD", None)(text, tree)
    return set_option("CONFIG_PREEMPT", "y")(text, tree)


def other_header_version(text, tree):
    return re.sub(r"(?m)^(# Linux/\S+) \S+ Kernel", r"\1 5.10.209 Kernel", text, count=1)


class GuestKernelTest(unittest.TestCase):
    """--kernel-config against the boot tests' Debian kernels: each guest's
    own configuration takes its modules; a configuration one line away
    from it, or another guest's, is refused."""

    CASES = [
        # name, change to the configuration, its file name ({release}),
        # arguments, message (None: the image is written)
        ("the kernel's own configuration", None, "config-{release}", [], None),
        ("a file name of no release", None, "kernel.config", [], None),
        ("the build salt of the release", set_option("CONFIG_BUILD_SALT", '"{release}"'),
         "config-{release}", [], None),
        ("one partition table format", set_option("CONFIG_EFI_PARTITION", None),
         "config-{release}", [], None),
        ("no initramfs", set_option("CONFIG_BLK_DEV_INITRD", None), "config-{release}", [],
         "this kernel cannot use an initramfs: CONFIG_BLK_DEV_INITRD is not set"),
        ("no gzip unpacking", set_option("CONFIG_RD_GZIP", None), "config-{release}",
         ["--compress", "gzip"], "CONFIG_RD_GZIP is not set"),
        ("no /proc", set_option("CONFIG_PROC_FS", None), "config-{release}", [],
         "cannot mount /proc, where the program reads its command line: CONFIG_PROC_FS is not set"),
        ("no sysfs", set_option("CONFIG_SYSFS", None), "config-{release}", [],
         "CONFIG_SYSFS is not set"),
        ("no tmpfs", set_option("CONFIG_TMPFS", None), "config-{release}", [],
         "CONFIG_TMPFS is not set"),
        ("no partition table format",
         lambda t, r: set_option("CONFIG_MSDOS_PARTITION", None)(
             set_option("CONFIG_EFI_PARTITION", None)(t, r), r), "config-{release}", [],
         "neither CONFIG_EFI_PARTITION nor CONFIG_MSDOS_PARTITION is y"),
        ("no module support", set_option("CONFIG_MODULES", None), "config-{release}", [],
         "this kernel cannot load modules: CONFIG_MODULES is not set"),
        ("no ext4", set_option("CONFIG_EXT4_FS", None), "config-{release}", [],
         "cannot mount an ext4 root: CONFIG_EXT4_FS is not set"),
        ("ext4 a module left out", set_option("CONFIG_EXT4_FS", "m"), "config-{release}",
         ["-m", "virtio_blk"], "CONFIG_EXT4_FS is m, not y in {config}, and ext4 is not"),
        ("another release's file name", None, "config-{release}-other", [],
         "its file name is that of release {release}-other"),
        ("another version", other_header_version, "config-{release}", [],
         "its header is that of Linux 5.10.209"),
        ("a local version the release lacks", set_option("CONFIG_LOCALVERSION", '"-rt9"'),
         "config-{release}", [], 'it sets CONFIG_LOCALVERSION="-rt9"'),
        ("another build salt", set_option("CONFIG_BUILD_SALT", '"{release}.1"'),
         "config-{release}", [], 'CONFIG_BUILD_SALT="{release}.1", the module was built '
         'with "{release}"'),
        ("no SMP", set_option("CONFIG_SMP", None), "config-{release}", [],
         "has SMP, and CONFIG_SMP is not set there"),
        ("no module unloading", set_option("CONFIG_MODULE_UNLOAD", None),
         "config-{release}", [], "has mod_unload, and CONFIG_MODULE_UNLOAD is not set"),
        ("no symbol versions", set_option("CONFIG_MODVERSIONS", None), "config-{release}",
         [], "has modversions, and CONFIG_MODVERSIONS is not set"),
        ("another preemption model", toggle_preemption, "config-{release}", [], "preempt"),
        ("an excluded dependency", None, "config-{release}",
         ["--exclude", "virtio_pci_modern_dev"],
         "--exclude virtio_pci_modern_dev: virtio_pci needs it (virtio_pci -> "
         "virtio_pci_modern_dev)"),
    ]

    def build(self, ws, arch, tree, config_text, config_name, args, dry_run=False):
        config = ws.write(config_name.format(**tree), config_text.encode())
        os.makedirs(ws.path("out"), exist_ok=True)
        out = ws.path("out/initrd.img")
        code, stdout, err = run_builder(
            ["--config", virtio_board(arch), "--init", ws.init, "--e2fsck", ws.e2fsck,
             "--modules-dir", tree["modules"], "--kernel-config", config,
             "--compress", "none", "-o", out] + args + (["--dry-run"] if dry_run else []))
        return code, stdout, err, out, config

    def test_configurations(self):
        for arch in GUESTS:
            for name, change, config_name, args, message in self.CASES:
                with self.subTest(arch=arch, case=name):
                    tree = guest_tree(arch)
                    if tree is None:
                        self.skipTest("%s's kernel is not in %s (tools/lib/guests.sh "
                                      "qv_fetch_guest)" % (arch, BOOT_CACHE))
                    ws = Workspace(self)
                    ws.programs(GUESTS[arch][0])
                    text = change(tree["text"], tree) if change else tree["text"]
                    for dry_run in (True, False):
                        code, stdout, err, out, config = self.build(
                            ws, arch, tree, text, config_name, args, dry_run)
                        if message is None:
                            self.assertEqual(code, 0, err)
                            self.assertEqual(os.path.exists(out), not dry_run)
                            continue
                        self.assertEqual(stdout, b"")
                        assert_refused(self, code, err,
                                       message.format(config=config, **tree),
                                       ws.path("out"))

    def test_another_guests_configuration(self):
        for arch in GUESTS:
            for other in GUESTS:
                if other == arch:
                    continue
                with self.subTest(modules=arch, config=other):
                    tree, other_tree = guest_tree(arch), guest_tree(other)
                    if tree is None or other_tree is None:
                        self.skipTest("%s's or %s's kernel is not in %s"
                                      % (arch, other, BOOT_CACHE))
                    ws = Workspace(self)
                    ws.programs(GUESTS[arch][0])
                    code, _, err, _, _ = self.build(ws, arch, tree, other_tree["text"],
                                                    "kernel.config", [])
                    assert_refused(self, code, err, "configures a kernel for %s, but "
                                   % GUESTS[other][1], ws.path("out"))
                    self.assertIn(" is built for %s" % GUESTS[arch][1], err)

    def test_board_files(self):
        """Every board file builds for its guest's kernel and configuration,
        with the modules it names."""
        boards = sorted(glob.glob(os.path.join(os.path.dirname(HERE), "boards", "*.toml")))
        # A board for every guest, and no board of a machine the tests do
        # not know.
        self.assertEqual({os.path.basename(b).split("-")[0] for b in boards}, set(GUESTS))
        for board in boards:
            arch = os.path.basename(board).split("-")[0]
            with self.subTest(os.path.basename(board)):
                tree = guest_tree(arch)
                if tree is None:
                    self.skipTest("%s's kernel is not in %s" % (arch, BOOT_CACHE))
                ws = Workspace(self)
                ws.programs(GUESTS[arch][0])
                config = ws.write("config-" + tree["release"], tree["text"].encode())
                out = ws.path("initrd.img")
                code, _, err = run_builder(["--config", board, "--init", ws.init,
                                            "--e2fsck", ws.e2fsck, "--modules-dir",
                                            tree["modules"], "--kernel-config", config,
                                            "-o", out])
                self.assertEqual(code, 0, err)
                code, stdout, err = run_builder(["--list", out])
                self.assertEqual(code, 0, err)
                names = [os.path.basename(line.split()[1])[:-3].replace("-", "_") for line in
                         stdout.decode().split("load order (/etc/quenvale_list):\n")[1]
                         .splitlines() if line.startswith(" ")]
                wanted = re.search(r"(?m)^module = \[(.*)\]$", open(board).read()).group(1)
                for module in re.findall(r'"([^"]+)"', wanted):
                    self.assertIn(module.replace("-", "_"), names)
                # armhf's Cortex-A15 refuses crc32-arm-ce; crc32c stays.
                if arch == "armhf":
                    self.assertNotIn("crc32_arm_ce", names)
                    self.assertIn("crc32c_generic", names)

    def test_compressed_modules_go_in_decompressed(self):
        """A kernel without CONFIG_MODULE_DECOMPRESS takes the image of a
        .ko.xz tree: the builder stores its modules decompressed."""
        for arch in GUESTS:
            with self.subTest(arch):
                tree = guest_tree(arch)
                if tree is None:
                    self.skipTest("%s's kernel is not in %s" % (arch, BOOT_CACHE))
                ws = Workspace(self)
                ws.programs(GUESTS[arch][0])
                # The tree's index, and the modules the board needs as .ko.xz.
                xz_tree = ws.path("lib/modules/" + tree["release"])
                os.makedirs(xz_tree)
                for name in os.listdir(tree["modules"]):
                    if name.startswith("modules."):
                        shutil.copy(os.path.join(tree["modules"], name), xz_tree)
                code, stdout, err, _, _ = self.build(ws, arch, tree, tree["text"],
                                                     "kernel.config", [], dry_run=True)
                self.assertEqual(code, 0, err)
                listed = stdout.decode().split("load order (/etc/quenvale_list):\n")[1]
                modules = [line.split()[1] for line in listed.splitlines()
                           if line.startswith(" ")]
                prefix = "/lib/modules/%s/" % tree["release"]
                for path in modules:
                    rel = path[len(prefix):]
                    with open(os.path.join(tree["modules"], rel), "rb") as f:
                        ws.write(os.path.join(xz_tree, rel + ".xz"),
                                 lzma.compress(f.read(), check=lzma.CHECK_CRC32))
                text = set_option("CONFIG_MODULE_DECOMPRESS", None)(tree["text"], tree)
                config = ws.write("config-" + tree["release"], text.encode())
                out = ws.path("out/initrd.img")
                code, _, err = run_builder(
                    ["--config", virtio_board(arch), "--init", ws.init, "--e2fsck", ws.e2fsck, "--modules-dir", xz_tree,
                     "--kernel-config", config, "--compress", "none", "-o", out])
                self.assertEqual(code, 0, err)
                self.assertEqual(module_list(out), modules)
                for path in modules:
                    with open(os.path.join(tree["modules"], path[len(prefix):]), "rb") as f:
                        self.assertEqual(cpio_member(out, path.lstrip("/")), f.read(), path)


def mode_bits(text):
    bits = 0
    for i, ch in enumerate(text[1:10]):
        if ch != "-":
            bits |= 1 << (8 - i)
    return bits


if __name__ == "__main__":
    if shutil.which("cpio") is None:
        sys.exit("cpio is needed to read the archives back (Debian package cpio)")
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
    # The unit tests of the package's modules, beside these: this one
    # command runs every test of the builder.
    for unit in sorted(glob.glob(os.path.join(HERE, "test_*.py"))):
        name = os.path.basename(unit)[:-3]
        if name != "test_mkimage":
            suite.addTests(unittest.defaultTestLoader.loadTestsFromName(name))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    # A failing subtest is reported on its own; count the test it is in.
    failed = len({getattr(test, "test_case", test).id()
                  for test, _ in result.failures + result.errors})
    # A skip inside a test skips one case of its table.
    skipped = len(result.skipped)
    whole = len([test for test, _ in result.skipped if not hasattr(test, "test_case")])
    print("%d passed, %d failed, %d skipped"
          % (result.testsRun - failed - whole, failed, skipped))
    # Under CI every test must run: a skip there means a missing tool.
    if skipped and os.environ.get("CI"):
        print("FAIL: %d test(s) skipped under CI" % skipped)
        sys.exit(1)
    sys.exit(0 if result.wasSuccessful() else 1)
