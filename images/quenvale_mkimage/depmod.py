"""depmod, for a module tree without modules.dep (a kernel package
unpacked with dpkg -x): run on a shadow of the tree, which stays as it
is."""

import os
import shutil
import subprocess
import tempfile

from .compression import decompress, split_compression
from .errors import BuildError


def find_depmod():
    found = shutil.which("depmod")
    if found:
        return found
    for candidate in ("/usr/sbin/depmod", "/sbin/depmod"):
        if os.access(candidate, os.X_OK):
            return candidate
    raise BuildError("modules.dep is missing and depmod is not installed "
                     "(Debian package kmod)")


# depmod --version's feature name for each compression.
DEPMOD_FEATURES = {"gzip": "ZLIB", "xz": "XZ", "zstd": "ZSTD"}


def depmod_readable_compressions(depmod):
    """The compressions this depmod reads, from its "+XZ -ZLIB" line. One
    it lacks makes it skip those modules without a word, and their users
    then seem to need nothing."""
    result = subprocess.run([depmod, "--version"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    words = result.stdout.decode(errors="replace").split()
    return {compression for compression, feature in DEPMOD_FEATURES.items()
            if "+" + feature in words}


def shadow_tree(modules_dir, target, readable, skip=()):
    """Mirrors modules_dir at target with symbolic links, except modules
    depmod cannot read, which are decompressed there under their .ko name.
    Directories in skip (real paths) are left out."""
    # The shadow itself, or this builder's stage, may lie inside the tree:
    # walking into them would mirror the mirror without end.
    skip = {os.path.realpath(p) for p in skip} | {os.path.realpath(target)}
    for parent, dirs, files in os.walk(modules_dir):
        dirs[:] = [d for d in dirs
                   if os.path.realpath(os.path.join(parent, d)) not in skip]
        rel = os.path.relpath(parent, modules_dir)
        out_dir = os.path.normpath(os.path.join(target, rel))
        os.makedirs(out_dir, exist_ok=True)
        for name in files:
            source = os.path.abspath(os.path.join(parent, name))
            stem, compression = split_compression(name)
            if (compression is not None and stem.endswith(".ko")
                    and compression not in readable):
                try:
                    data = decompress(source)
                except BuildError:
                    # Unusable either way; an error only if it is wanted.
                    continue
                with open(os.path.join(out_dir, stem), "wb") as f:
                    f.write(data)
            else:
                os.symlink(source, os.path.join(out_dir, name))


def run_depmod(modules_dir, skip=()):
    """depmod -n prints what it would write, so the tree given stays as it
    is, even when read-only. It runs on a shadow of the tree laid out as
    BASE/lib/modules/VERSION, as depmod -b wants."""
    depmod = find_depmod()
    version = os.path.basename(os.path.abspath(modules_dir))
    with tempfile.TemporaryDirectory(prefix="quenvale-depmod.") as base:
        shadow_tree(modules_dir, os.path.join(base, "lib", "modules", version),
                    depmod_readable_compressions(depmod), list(skip) + [base])
        result = subprocess.run([depmod, "-n", "-b", base, version],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        lines = result.stderr.decode(errors="replace").splitlines()
        raise BuildError("depmod failed on --modules-dir %s: %s" % (
            modules_dir, "; ".join(line.strip() for line in lines if line.strip())))
    return result.stdout.decode("utf-8", "replace")
