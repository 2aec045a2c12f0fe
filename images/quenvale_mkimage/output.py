"""Where the image goes: a file replaced in one step, or standard
output."""

import os
import sys
import tempfile

from .errors import BuildError


def write_output(path, data):
    if path == "-":
        try:
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
        except OSError as error:
            raise BuildError("-o -: cannot write to standard output: %s"
                             % (error.strerror or error))
        return
    write_atomically(path, data)


def write_atomically(path, data):
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temp = tempfile.mkstemp(dir=directory, prefix=".quenvale-mkimage.")
    except OSError as error:
        raise BuildError("-o %s: cannot write in %s: %s"
                         % (path, directory, error.strerror))
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(temp, 0o644)
        os.replace(temp, path)
    except BaseException as error:
        os.unlink(temp)
        if isinstance(error, OSError):
            raise BuildError("-o %s: %s" % (path, error.strerror))
        raise


def check_output(path):
    """Before any work: a place the image can be written to."""
    if not path:
        raise BuildError("-o needs a file name")
    if os.path.isdir(path):
        raise BuildError("-o %s is a directory" % path)
    if path.endswith("/"):
        raise BuildError("-o %s names a directory, not a file" % path)
    directory = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(directory):
        raise BuildError("-o %s: the directory %s does not exist" % (path, directory))
    if not os.access(directory, os.W_OK):
        raise BuildError("-o %s: cannot write in %s" % (path, directory))
