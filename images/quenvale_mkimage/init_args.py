"""Module options: the image cannot hold them, the program takes them from
its own arguments, which the kernel fills from the words after "--" on its
command line (argv[1] is skipped, hence a placeholder)."""

from .errors import BuildError

INIT_ARG_PLACEHOLDER = "quenvale"


def init_arguments(options):
    return " ".join(["--", INIT_ARG_PLACEHOLDER] + options.split())


def check_options(options, config):
    """Refuses options the kernel would not hand to the program as typed."""
    words = options.split()
    if '"' in options:
        raise BuildError("--options: the kernel reads a double quote as "
                         "grouping words on its command line; it would not "
                         "hand over the option as typed")
    if "--" in words:
        raise BuildError("--options: the kernel stops handing words to the "
                         "program at a second \"--\"; the options after it "
                         "would be lost")
    # The kernel panics ("Too many boot init vars") rather than drop any.
    limit = 32
    value = config.get("CONFIG_INIT_ENV_ARG_LIMIT", "32") if config else "32"
    if value.isdigit():
        limit = int(value)
    if len(words) + 1 > limit:
        raise BuildError("--options: %d options and the placeholder are more "
                         "arguments than the kernel hands to /init "
                         "(CONFIG_INIT_ENV_ARG_LIMIT=%d)" % (len(words), limit))
