"""One build: the options checked, the programs chosen, the image planned,
checked against the kernel configuration, then written, listed (--dry-run)
or described as a file list (--gen-init-cpio); and main, which turns a
refusal into one line and exit status 1."""

import dataclasses
import os
import sys

from .compression import compress_image, compressor
from .cpio import write_newc
from .errors import BuildError
from .filelist import check_file_list_names, check_stage_dir, write_staged
from .init_args import check_options, init_arguments
from .kconfig import KernelConfig, check_kernel_config, read_kernel_config
from .kernel_match import check_kernel_match
from .listing import entry_line, list_image, print_load_order
from .options import Options, parse_options
from .output import check_output, write_output
from .plan import plan_image
from .programs import choose_programs

MTIME_MAX = 0xFFFFFFFF  # eight hexadecimal digits in a newc header


def choose_mtime(options):
    if options.mtime is None:
        text = os.environ.get("SOURCE_DATE_EPOCH", "0")
        try:
            mtime = int(text)
        except ValueError:
            raise BuildError("SOURCE_DATE_EPOCH=%s is not a whole number of "
                             "seconds; give --mtime" % text)
        what = "SOURCE_DATE_EPOCH=%s" % text
    else:
        mtime = options.mtime
        what = "--mtime %d" % mtime
    if not 0 <= mtime <= MTIME_MAX:
        raise BuildError("%s does not fit a cpio header (0 to %d)" % (what, MTIME_MAX))
    return mtime


@dataclasses.dataclass(frozen=True)
class Setup:
    """What a build derives from its options before it plans the image;
    the options themselves stay as given."""
    mtime: int
    config: KernelConfig  # None without --kernel-config
    stage: str  # where a file list's generated files go, or None
    init: str
    e2fsck: str


def prepare(options: Options) -> Setup:
    """Every refusal that needs no module tree, before the long part."""
    mtime = choose_mtime(options)
    to_stdout = options.output == "-"
    if options.output is not None and not to_stdout:
        check_output(options.output)
    if (to_stdout and not options.dry_run and not options.gen_init_cpio
            and sys.stdout.isatty()):
        raise BuildError("-o -: standard output is a terminal; send the image to "
                         "a file or a pipe")
    config = None
    if options.kernel_config:
        config = read_kernel_config(options.kernel_config)
        check_kernel_config(config, options.compression)
    if options.options is not None:
        check_options(options.options, config)
    stage = options.stage_dir
    if stage is None and options.output is not None and not to_stdout:
        stage = options.output + ".d"
    if options.gen_init_cpio and stage is not None:
        check_stage_dir(stage, options.modules_dir)
    init, e2fsck = choose_programs(options)
    compressor(options.compression)  # a missing command
    return Setup(mtime=mtime, config=config, stage=stage, init=init, e2fsck=e2fsck)


def print_plan(options, plan, archive, data):
    """--dry-run: what would be written."""
    for entry in plan.entries:
        print(entry_line(entry))
    print_load_order(plan.listed)
    files = sum(len(e.data) for e in plan.entries if e.kind == "file")
    text = "total: %d members, %d bytes in files" % (len(plan.entries), files)
    if archive is not None:
        text += "; archive %d bytes" % len(archive)
        if options.compression != "none":
            text += ", %d bytes %s" % (len(data), options.compression)
    else:
        text += "; a gen_init_cpio file list"
    print(text)
    if options.options is not None:
        print("kernel command line tail: " + init_arguments(options.options))


def build(options):
    setup = prepare(options)
    stage = setup.stage
    # A stage left in the module tree by an earlier build is not part of
    # the tree.
    plan = plan_image(options, setup.init, setup.e2fsck, skip=[stage] if stage else [])
    if setup.config is not None:
        check_kernel_match(setup.config, options, plan)
    where = "standard output" if options.output == "-" else options.output
    if options.gen_init_cpio:
        check_file_list_names(plan.entries)
        if options.dry_run:
            print_plan(options, plan, None, None)
        else:
            size = write_staged(plan.entries, options.output, stage)
            summary = "wrote %s: a file list of %d members, %d bytes, its files in %s" % (
                where, len(plan.entries), size, stage)
    else:
        archive = write_newc(plan.entries, setup.mtime)
        data = compress_image(archive, options.compression)
        if options.dry_run:
            print_plan(options, plan, archive, data)
        else:
            write_output(options.output, data)
            summary = "wrote %s: %d members, %d bytes" % (where, len(plan.entries),
                                                          len(archive))
            if options.compression != "none":
                summary += ", %d bytes %s" % (len(data), options.compression)
    # Only now: a refused build says one thing.
    # Each once: several modules may share a soft dependency.
    for note in dict.fromkeys(plan.notes):
        print("quenvale-mkimage: " + note, file=sys.stderr)
    if options.dry_run:
        return 0
    print("quenvale-mkimage: " + summary, file=sys.stderr)
    if options.options is not None:
        print(init_arguments(options.options))
    return 0


def main(argv):
    try:
        options = parse_options(argv)
        if options.list is not None:
            list_image(options.list)
            return 0
        return build(options)
    except BuildError as error:
        sys.stdout.flush()
        print("quenvale-mkimage: " + str(error), file=sys.stderr)
        return 1
