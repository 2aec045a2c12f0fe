"""A kernel's module tree (lib/modules/VERSION): what depmod knows of it
(modules.dep, modules.softdep, modules.alias, the built-in modules), its
module files and where they go in the image."""

import fnmatch
import os

from .compression import SUFFIXES, split_compression
from .depmod import run_depmod
from .errors import BuildError


def module_name(path):
    """The kernel's name for a module file: no directory, no suffixes, '-'
    read as '_'."""
    base = split_compression(os.path.basename(path))[0]
    if base.endswith(".ko"):
        base = base[:-3]
    return normalize(base)


def normalize(name):
    return name.replace("-", "_")


class AliasTable:
    """Alias patterns (shell globs) to module names. A kernel has tens of
    thousands, nearly all device globs: a name is only matched against
    patterns sharing the literal text before their first wildcard."""

    def __init__(self):
        self.exact = {}
        self.globs = []  # (literal prefix, pattern, name)

    def add(self, pattern, name):
        cut = min([pattern.find(c) for c in "*?[" if c in pattern] or [-1])
        if cut < 0:
            self.exact.setdefault(pattern, set()).add(name)
        else:
            self.globs.append((pattern[:cut], pattern, name))

    def match(self, text):
        found = set(self.exact.get(text, ()))
        for prefix, pattern, name in self.globs:
            if text.startswith(prefix) and fnmatch.fnmatchcase(text, pattern):
                found.add(name)
        return found


class ModuleIndex:
    """What depmod knows about one module tree, by module name."""

    def __init__(self):
        self.paths = {}  # name -> path as depmod wrote it
        self.deps = {}  # name -> [names], in depmod's order
        self.pre = {}  # name -> [soft dependency names]
        self.post = {}
        self.aliases = AliasTable()
        self.builtin = set()
        self.builtin_aliases = AliasTable()

    def parse_dep_line(self, line):
        head, _, tail = line.partition(":")
        name = module_name(head.strip())
        self.paths[name] = head.strip()
        self.deps[name] = [module_name(d) for d in tail.split()]

    def parse_softdep_line(self, words):
        # softdep MODULE [pre: A B] [post: C D]; words before any pre:/post:
        # are ignored, as modprobe does.
        if len(words) < 2:
            return
        target = normalize(words[1])
        mode = None
        for word in words[2:]:
            if word in ("pre:", "post:"):
                mode = word
            elif mode == "pre:":
                self.pre.setdefault(target, []).append(word)
            elif mode == "post:":
                self.post.setdefault(target, []).append(word)

    def parse_text(self, text):
        """Takes modules.dep, modules.softdep and modules.alias lines, in any
        mix (depmod -n prints them one after the other)."""
        for raw in text.splitlines():
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            words = line.split()
            if words[0] == "softdep":
                self.parse_softdep_line(words)
            elif words[0] == "alias" and len(words) >= 3:
                self.aliases.add(words[1], normalize(words[2]))
            elif ":" in words[0]:
                self.parse_dep_line(line)

    def parse_builtin(self, text):
        for line in text.splitlines():
            if line.strip():
                self.builtin.add(module_name(line.strip()))

    def parse_builtin_modinfo(self, data):
        for record in data.split(b"\0"):
            key, eq, value = record.decode("utf-8", "replace").partition("=")
            name, dot, field = key.partition(".")
            if eq and dot and field == "alias":
                self.builtin_aliases.add(value, normalize(name))


def read_optional(path, binary=False):
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return None
    except OSError as error:
        raise BuildError("cannot read %s: %s" % (path, error.strerror))
    return data if binary else data.decode("utf-8", "replace")


# What depmod and a kernel package leave in lib/modules/VERSION; a
# directory with none of them is no module tree.
TREE_MARKS = ("modules.dep", "modules.order", "modules.builtin", "kernel")


def check_module_tree(modules_dir):
    if not os.path.exists(modules_dir):
        raise BuildError("--modules-dir %s does not exist" % modules_dir)
    if not os.path.isdir(modules_dir):
        raise BuildError("--modules-dir %s is not a directory" % modules_dir)
    if not any(os.path.exists(os.path.join(modules_dir, m)) for m in TREE_MARKS):
        raise BuildError("--modules-dir %s is no kernel module tree (lib/modules/"
                         "VERSION): it has no %s and no kernel/ directory"
                         % (modules_dir, ", ".join(TREE_MARKS[:-1])))


def load_index(modules_dir, skip=()):
    index = ModuleIndex()
    dep = read_optional(os.path.join(modules_dir, "modules.dep"))
    if dep is None:
        index.parse_text(run_depmod(modules_dir, skip))
    else:
        index.parse_text(dep)
        for name in ("modules.softdep", "modules.alias"):
            text = read_optional(os.path.join(modules_dir, name))
            if text is not None:
                index.parse_text(text)
    builtin = read_optional(os.path.join(modules_dir, "modules.builtin"))
    if builtin is not None:
        index.parse_builtin(builtin)
    modinfo = read_optional(os.path.join(modules_dir, "modules.builtin.modinfo"),
                            binary=True)
    if modinfo is not None:
        index.parse_builtin_modinfo(modinfo)
    return index

def locate_module(modules_dir, dep_path):
    """The file depmod named, or the same with a compression suffix (depmod
    may have been run on another copy of the tree)."""
    path = dep_path if os.path.isabs(dep_path) else os.path.join(modules_dir, dep_path)
    stem = split_compression(path)[0]
    candidates = [path, stem] + [stem + suffix for suffix in SUFFIXES]
    for candidate in candidates:
        if os.path.isfile(candidate):
            return candidate
    raise BuildError("module file %s not found" % path)

def image_module_path(version, rel_path):
    """Where a module of the tree goes: stored decompressed, so without its
    compression suffix."""
    stem = split_compression(rel_path)[0]
    return "/lib/modules/%s/%s" % (version, stem)
