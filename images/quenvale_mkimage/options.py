"""The command line and the board file (--config), merged once into a
frozen Options record that nothing changes afterwards."""

import argparse
import dataclasses
import os
import tomllib

from .arches import target_arches
from .compression import COMPRESSIONS
from .errors import BuildError


class ArgumentParser(argparse.ArgumentParser):
    def error(self, message):
        # One line and status 1, as for every other refusal.
        self.exit(1, "%s: %s\n" % (self.prog, message))


def make_parser():
    p = ArgumentParser(
        prog="quenvale-mkimage",
        description="Write an initramfs for quenvale-init (newc cpio, plain "
                    "or compressed) or a gen_init_cpio file list. An image "
                    "that could not boot is refused with one line and exit "
                    "status 1.")
    p.add_argument("--config", metavar="FILE",
                   help="a board file (TOML) whose keys are these options' long "
                        "names; the command line overrides it")
    p.add_argument("--arch", choices=sorted(target_arches()),
                   help="the guest: take the init of tools/build.sh and the "
                        "e2fsck of tools/build-e2fsck.sh for it "
                        "(build/musl-ARCH/src/quenvale-init, build/musl-ARCH/"
                        "e2fsck) unless --init or --e2fsck names another")
    p.add_argument("--init", help="the quenvale-init binary, static (default: "
                   "the musl build of tools/build.sh for --arch, or for the "
                   "architecture of the e2fsck binary)")
    p.add_argument("--e2fsck", help="a static e2fsck binary (default with "
                   "--arch: build/musl-ARCH/e2fsck; without --arch it is "
                   "needed)")
    p.add_argument("--modules-dir", metavar="DIR",
                   help="lib/modules/VERSION of an unpacked kernel")
    p.add_argument("--module", "-m", action="append", metavar="NAME",
                   help="a module to load, with everything it needs (repeatable)")
    p.add_argument("--exclude", action="append", metavar="NAME",
                   help="leave this module out (refused when a kept module "
                        "needs it)")
    p.add_argument("--file", action="append", metavar="DEST=SRC",
                   help="add a file, replacing any file member at DEST (not a "
                        "directory of the image); /init and /bin/e2fsck must "
                        "stay static programs of the image's architecture")
    p.add_argument("--options", metavar="TEXT",
                   help="module options: print the kernel command line tail "
                        "that hands them to the program")
    p.add_argument("--compress", choices=sorted(COMPRESSIONS),
                   help="compress the archive (default: none, a plain cpio)")
    p.add_argument("--gzip", action="store_true", default=None,
                   help="same as --compress gzip")
    p.add_argument("--kernel-config", metavar="FILE",
                   help="the kernel's configuration (/boot/config-VERSION): "
                        "refuse an image that kernel cannot unpack or boot, "
                        "and a configuration of another kernel than the modules'")
    p.add_argument("--gen-init-cpio", action=argparse.BooleanOptionalAction,
                   help="write the kernel's gen_init_cpio file list instead")
    p.add_argument("--stage-dir", metavar="DIR",
                   help="where a file list's generated files go "
                        "(default: OUTPUT.d)")
    p.add_argument("--mtime", type=int,
                   help="time stamp of every member (default SOURCE_DATE_EPOCH "
                        "or 0)")
    p.add_argument("--dry-run", action="store_true", default=None,
                   help="print the members, their sizes, the total and the load "
                        "order instead of writing")
    p.add_argument("--list", metavar="IMAGE",
                   help="print what an image holds, and refuse one that could "
                        "not boot (takes no other option)")
    p.add_argument("-o", "--output", help='the image ("-": standard output)')
    return p


# A board file's keys, the long options' names, and what each holds.
PATH, PATHS, TEXT, TEXTS, NUMBER, SWITCH = ("a path", "a list of DEST=SRC strings",
                                            "a string", "a list of strings",
                                            "a whole number", "true or false")
BOARD_KEYS = {"arch": TEXT, "init": PATH, "e2fsck": PATH, "modules-dir": PATH,
              "module": TEXTS, "exclude": TEXTS, "file": PATHS, "options": TEXT,
              "compress": TEXT, "kernel-config": PATH, "mtime": NUMBER,
              "output": PATH, "gen-init-cpio": SWITCH, "stage-dir": PATH}


def board_choices():
    # A function: the architectures are read from their table at run time.
    return {"arch": sorted(target_arches()), "compress": sorted(COMPRESSIONS)}


def read_board_file(path):
    """A board file's settings, by option attribute: paths made relative
    to the file's directory, every key and type checked."""
    where = "--config %s" % path
    try:
        with open(path, "rb") as f:
            table = tomllib.load(f)
    except OSError as error:
        raise BuildError("%s: %s" % (where, error.strerror))
    except tomllib.TOMLDecodeError as error:
        raise BuildError("%s: %s" % (where, str(error).splitlines()[0]))
    base = os.path.dirname(os.path.abspath(path))

    def place(value):
        return value if value == "-" else os.path.join(base, value)

    choices = board_choices()
    settings = {}
    for key, value in table.items():
        kind = BOARD_KEYS.get(key)
        if kind is None:
            raise BuildError("%s: unknown key %s (known: %s)"
                             % (where, key, ", ".join(BOARD_KEYS)))
        if kind in (TEXT, PATH):
            good = isinstance(value, str)
        elif kind in (TEXTS, PATHS):
            good = isinstance(value, list) and all(isinstance(v, str) for v in value)
        elif kind == NUMBER:
            good = isinstance(value, int) and not isinstance(value, bool)
        else:
            good = isinstance(value, bool)
        if not good:
            raise BuildError("%s: %s must be %s, not %r" % (where, key, kind, value))
        if key in choices and value not in choices[key]:
            raise BuildError("%s: %s = %r is not one of %s"
                             % (where, key, value, ", ".join(choices[key])))
        if kind == PATH:
            value = place(value)
        elif kind == PATHS:
            # DEST is in the image; SRC is a file beside the board file.
            value = [dest + eq + (place(src) if eq and src else src)
                     for dest, eq, src in (v.partition("=") for v in value)]
        settings[key.replace("-", "_")] = value
    return settings


@dataclasses.dataclass(frozen=True)
class Options:
    """The command line merged with the board file, once: nothing changes
    it afterwards."""
    arch: str = None
    init: str = None
    e2fsck: str = None
    modules_dir: str = None
    module: tuple = ()
    exclude: tuple = ()
    file: tuple = ()
    options: str = None
    compression: str = "none"
    kernel_config: str = None
    mtime: int = None
    output: str = None
    gen_init_cpio: bool = False
    stage_dir: str = None
    dry_run: bool = False
    list: str = None


def parse_options(argv):
    parser = make_parser()
    given = parser.parse_args(argv)
    if given.list is not None:
        others = sorted("--" + name.replace("_", "-") for name, value in vars(given).items()
                        if name != "list" and value is not None)
        if others:
            parser.error("--list takes no other option (%s)" % ", ".join(others))
        return Options(list=given.list)
    board = read_board_file(given.config) if given.config else {}
    merged = {}
    for key in BOARD_KEYS:
        name = key.replace("-", "_")
        value = getattr(given, name)
        merged[name] = value if value is not None else board.get(name)

    # --gzip is another name for --compress gzip, on the command line.
    compress = given.compress
    if given.gzip:
        if compress not in (None, "gzip"):
            parser.error("--gzip and --compress %s exclude each other" % compress)
        compress = "gzip"
    listing = merged.pop("gen_init_cpio") or False
    if compress is None and given.gen_init_cpio:
        # A board's compression is for its images; a file list asked for
        # here is compressed by the kernel build.
        compress = None
    elif compress is None:
        compress = board.get("compress")
    if listing and compress not in (None, "none"):
        if given.compress or given.gzip:
            parser.error("--%s and --gen-init-cpio exclude each other"
                         % ("gzip" if given.gzip else "compress"))
        raise BuildError("--config %s: compress = %r and gen-init-cpio exclude each other"
                         % (given.config, compress))
    del merged["compress"]
    for name in ("module", "exclude", "file"):
        merged[name] = tuple(merged[name] or ())
    options = Options(compression=compress or "none", gen_init_cpio=listing,
                      dry_run=bool(given.dry_run), **merged)
    if options.output is None and not options.dry_run:
        raise BuildError("-o is needed (or output in the board file)")
    if options.output == "-":
        if options.options is not None and not options.dry_run:
            raise BuildError("-o - and --options would both write to standard output")
        if options.gen_init_cpio and options.stage_dir is None:
            raise BuildError("-o - with --gen-init-cpio needs --stage-dir, where the "
                             "list's generated files go")
    return options
