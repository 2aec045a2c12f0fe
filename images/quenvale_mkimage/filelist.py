"""The kernel's gen_init_cpio file list (CONFIG_INITRAMFS_SOURCE) instead
of an archive: every member's source is a file, so generated and
decompressed ones are written into a stage directory."""

import os
import shutil

from .errors import BuildError
from .output import write_output


def check_file_list_names(entries):
    # gen_init_cpio splits its lines at blanks.
    for entry in entries:
        for text in (entry.path, entry.source or ""):
            if any(c.isspace() for c in text):
                raise BuildError("--gen-init-cpio: the file list cannot name %r"
                                 % text)


def write_file_list(entries, output, stage_dir):
    """gen_init_cpio names a source file for every member: generated ones
    and decompressed modules are written into stage_dir. Returns the
    list's size."""
    lines = []
    for entry in entries:
        mode = "%04o" % entry.mode
        if entry.kind == "dir":
            lines.append("dir %s %s 0 0" % (entry.path, mode))
        elif entry.kind == "nod":
            lines.append("nod %s %s 0 0 c %d %d" % ((entry.path, mode) + entry.dev))
        else:
            source = entry.source
            if source is None:
                source = os.path.join(stage_dir, entry.path.lstrip("/"))
                os.makedirs(os.path.dirname(source), exist_ok=True)
                with open(source, "wb") as f:
                    f.write(entry.data)
            lines.append("file %s %s %s 0 0" % (entry.path, os.path.abspath(source), mode))
    data = os.fsencode("\n".join(lines) + "\n")
    write_output(output, data)
    return len(data)


def check_stage_dir(stage, modules_dir):
    if os.path.exists(stage) and not os.path.isdir(stage):
        raise BuildError("--stage-dir %s is not a directory" % stage)
    real = os.path.realpath(stage)
    if real == "/":
        raise BuildError("--stage-dir %s is the root directory: it would get "
                         "the image's /etc" % stage)
    if modules_dir is not None:
        tree = os.path.realpath(modules_dir)
        if tree == real or tree.startswith(real.rstrip("/") + "/"):
            # Its lib/modules/VERSION would be the tree itself, and the
            # decompressed modules would land beside the originals.
            raise BuildError("--stage-dir %s holds --modules-dir %s" % (stage, modules_dir))


def write_staged(entries, output, stage):
    """The file list and its stage; on failure a stage made here goes again."""
    made = None
    top = os.path.abspath(stage)
    while not os.path.exists(top):
        made, top = top, os.path.dirname(top)
    try:
        os.makedirs(stage, exist_ok=True)
        return write_file_list(entries, output, stage)
    except BaseException as error:
        if made is not None:
            shutil.rmtree(made, ignore_errors=True)
        if isinstance(error, OSError):
            raise BuildError("--stage-dir %s: %s" % (stage, error.strerror))
        raise
