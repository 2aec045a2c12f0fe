"""Compression: the suffixes of compressed module files, reading such a
module, writing the image in a form the kernel's unpacker takes, and
reading back every format the kernel unpacks (for --list)."""

import bz2
import gzip
import io
import lzma
import shutil
import subprocess
import zlib

from .elf import ELF_MAGIC
from .errors import BuildError

# A module file's compression by its suffix, as kmod and the kernel's
# build name them.
SUFFIXES = {".xz": "xz", ".zst": "zstd", ".gz": "gzip"}


def split_compression(name):
    """(stem, compression) of a file name: "ext4.ko.xz" gives ("ext4.ko",
    "xz"), a name without such a suffix (name, None)."""
    for suffix, compression in SUFFIXES.items():
        if name.endswith(suffix):
            return name[: -len(suffix)], compression
    return name, None


def decompress(path):
    """A module file's bytes, decompressed as its suffix says; refuses
    anything that is no ELF file then."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise BuildError("cannot read %s: %s" % (path, error.strerror))
    try:
        compression = split_compression(path)[1]
        if compression == "xz":
            data = lzma.decompress(data)
        elif compression == "gzip":
            data = gzip.decompress(data)
        elif compression == "zstd":
            # The standard library has no zstd before Python 3.14.
            zstd = shutil.which("zstd")
            if zstd is None:
                raise BuildError("%s: zstd is not installed (Debian package zstd)"
                                 % path)
            result = subprocess.run([zstd, "-d", "-c", "-q"], input=data,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if result.returncode != 0:
                raise BuildError("%s: %s" % (path, result.stderr.decode(errors="replace").strip()))
            data = result.stdout
    except (lzma.LZMAError, OSError, EOFError) as error:
        raise BuildError("%s: cannot decompress: %s" % (path, error))
    # The program refuses anything else, and only at boot: say it now.
    if not data.startswith(ELF_MAGIC):
        raise BuildError("%s is not an ELF module" % path)
    return data


def gzip_bytes(data):
    out = io.BytesIO()
    # No name and a fixed time in the header: same input, same bytes.
    with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=0,
                       compresslevel=9) as f:
        f.write(data)
    return out.getvalue()


XZ_DICT_MAX = 1 << 20


def xz_bytes(data):
    # The kernel's xz decoder verifies CRC32 checks only: a stream with xz's
    # default CRC64 is refused at boot. One LZMA2 filter, nothing else. The
    # kernel allocates the dictionary the stream header names while it
    # unpacks: no larger than the data, and at most 1 MiB.
    dict_size = max(4096, min(len(data), XZ_DICT_MAX))
    return lzma.compress(data, format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC32,
                         filters=[{"id": lzma.FILTER_LZMA2,
                                   "preset": 9 | lzma.PRESET_EXTREME,
                                   "dict_size": dict_size}])


def zstd_arguments(size):
    # One thread: the same bytes on every machine. The kernel allocates the
    # whole window while it unpacks; level 19 alone asks for up to 8 MiB,
    # so the window is held to 1 MiB (wlog=20). With the size known, zstd
    # shrinks it further for a smaller archive and records the size in the
    # frame.
    return ["-19", "--zstd=wlog=20", "--single-thread",
            "--stream-size=%d" % size, "-q", "-c"]


def lz4_arguments(size):
    # The kernel reads only the legacy lz4 frame (magic 0x184C2102) that
    # -l writes, not the current one.
    return ["-l", "-12", "-q", "-c"]


# Per format: the option a kernel needs to unpack it, and the command that
# writes it when the standard library cannot.
COMPRESSIONS = {
    "none": (None, None),
    "gzip": ("CONFIG_RD_GZIP", None),
    "xz": ("CONFIG_RD_XZ", None),
    "zstd": ("CONFIG_RD_ZSTD", ("zstd", zstd_arguments)),
    "lz4": ("CONFIG_RD_LZ4", ("lz4", lz4_arguments)),
}


def compressor(compression):
    """The command's path, or None when none is needed."""
    tool = COMPRESSIONS[compression][1]
    if tool is None:
        return None
    found = shutil.which(tool[0])
    if found is None:
        raise BuildError("%s is not installed (Debian package %s); it writes "
                         "the %s initramfs" % (tool[0], tool[0], compression))
    return found


def compress_image(data, compression):
    if compression == "gzip":
        return gzip_bytes(data)
    if compression == "xz":
        return xz_bytes(data)
    program = compressor(compression)
    if program is None:
        return data
    command = [program] + COMPRESSIONS[compression][1][1](len(data))
    result = subprocess.run(command, input=data, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise BuildError("%s failed: %s" % (" ".join(command),
                                            result.stderr.decode(errors="replace").strip()))
    return result.stdout


# Reading back, for --list: every format the kernel unpacks.


def lz4_block(src, limit):
    """One LZ4 block, at most limit bytes once decompressed."""
    out = bytearray()
    at, end = 0, len(src)

    def length(base):
        nonlocal at
        if base == 15:
            while True:
                byte = src[at]
                at += 1
                base += byte
                if byte != 255:
                    break
        return base

    while at < end:
        token = src[at]
        at += 1
        literals = length(token >> 4)
        if at + literals > end:
            raise ValueError("literals past the block's end")
        out += src[at:at + literals]
        at += literals
        if at == end:
            break  # the last sequence has literals only
        offset = src[at] | src[at + 1] << 8
        at += 2
        match = length(token & 15) + 4
        if not 0 < offset <= len(out):
            raise ValueError("a match before the start")
        start = len(out) - offset
        if offset >= match:
            out += out[start:start + match]
        else:
            # Overlapping: the last offset bytes repeat.
            pattern = bytes(out[start:])
            out += (pattern * (match // offset + 1))[:match]
        if len(out) > limit:
            raise ValueError("a block larger than the format allows")
    return bytes(out)


LZ4_LEGACY_MAGIC = b"\x02\x21\x4c\x18"
LZ4_LEGACY_BLOCK = 8 << 20


def unlz4_legacy(data, at):
    """The legacy frame lz4 -l writes: blocks of 8 MiB once decompressed,
    each after its compressed size; a shorter one is the last."""
    out = []
    at += 4
    while at + 4 <= len(data):
        if data.startswith(LZ4_LEGACY_MAGIC, at):
            at += 4
            continue
        size = int.from_bytes(data[at:at + 4], "little")
        if at + 4 + size > len(data):
            if data.startswith(b"0707", at):
                break  # a full last block, then the next archive
            raise ValueError("cut short")
        block = lz4_block(data[at + 4:at + 4 + size], LZ4_LEGACY_BLOCK)
        out.append(block)
        at += 4 + size
        if len(block) < LZ4_LEGACY_BLOCK:
            break
    return b"".join(out), at


def zstd_frame_end(data, at):
    """Where the zstd frame at data[at:] ends, from its block headers."""
    descriptor = data[at + 4]
    single = descriptor >> 5 & 1
    size = 5 + (0 if single else 1) + (0, 1, 2, 4)[descriptor & 3]
    size += (1 if single else 0, 2, 4, 8)[descriptor >> 6]
    at += size
    while True:
        if at + 3 > len(data):
            raise ValueError("cut short")
        header = int.from_bytes(data[at:at + 3], "little")
        kind, length = header >> 1 & 3, header >> 3
        if kind == 3:
            raise ValueError("a reserved block type")
        at += 3 + (1 if kind == 1 else length)
        if header & 1:
            break
    at += 4 if descriptor & 4 else 0
    if at > len(data):
        raise ValueError("cut short")
    return at


def unzstd(data, at):
    end = zstd_frame_end(data, at)
    zstd = shutil.which("zstd")
    if zstd is None:
        raise BuildError("zstd is not installed (Debian package zstd); it reads "
                         "the zstd archive at byte %d" % at)
    result = subprocess.run([zstd, "-d", "-c", "-q"], input=data[at:end],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if result.returncode != 0:
        raise ValueError(result.stderr.decode(errors="replace").strip())
    return result.stdout, end


def stream_decoder(decoder):
    def decode(data, at):
        out = decoder.decompress(data[at:])
        if not decoder.eof:
            raise ValueError("cut short")
        return out, len(data) - len(decoder.unused_data)
    return decode


# The formats the kernel unpacks, by their first bytes (lib/decompress.c).
ARCHIVE_FORMATS = (
    (b"\x1f\x8b", "gzip", lambda: stream_decoder(zlib.decompressobj(16 + zlib.MAX_WBITS))),
    (b"\xfd7zXZ\x00", "xz", lambda: stream_decoder(lzma.LZMADecompressor(lzma.FORMAT_XZ))),
    (b"\x28\xb5\x2f\xfd", "zstd", lambda: unzstd),
    (LZ4_LEGACY_MAGIC, "lz4", lambda: unlz4_legacy),
    (b"BZh", "bzip2", lambda: stream_decoder(bz2.BZ2Decompressor())),
    (b"\x5d\x00\x00", "lzma", lambda: stream_decoder(lzma.LZMADecompressor(lzma.FORMAT_ALONE))),
    (b"\x89LZO", "lzo", None),
)
