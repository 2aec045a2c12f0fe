"""Builds an initramfs for quenvale-init without root and without cpio.

The archive is written directly in the kernel's "newc" cpio format, plain
or compressed in a form the kernel's own unpacker reads (gzip, xz, zstd,
lz4), or, with --gen-init-cpio, described in the file-list format of the
kernel's usr/gen_init_cpio (CONFIG_INITRAMFS_SOURCE).

Module options cannot live in the image: the program takes them from its own
arguments, which the kernel fills from the words after "--" on its command
line. argv[1] is skipped, so the command line must end in
"-- <placeholder> <option>...". --options prints that tail.

--arch NAME (a target row of tools/arches.tsv) takes the init of tools/build.sh
and the e2fsck of tools/build-e2fsck.sh for that architecture
(build/musl-ARCH/src/quenvale-init, build/musl-ARCH/e2fsck); --init and --e2fsck name other ones. Without --arch,
--e2fsck is needed and its architecture chooses the built init.

An image that could not boot or could not check its root is never written:
/init and /bin/e2fsck must be static programs (or a script whose interpreter
is one in the image) of one architecture, the modules must be that
architecture's, and --file may not turn a directory of the image into a
file. An --exclude a kept module needs is refused, and with --kernel-config
a kernel that could not unpack or start the image, or the configuration of
another kernel than the modules'. Each refusal is one line on standard
error and exit status 1, and nothing is written; --dry-run prints the plan
instead of writing it, under the same refusals.

--config FILE reads the options from a board file (TOML, the long options'
names as keys); the command line overrides it. --list IMAGE prints what an
image holds, cpio archives one after another as the kernel takes them, and
refuses one the builder would not have written.
"""
