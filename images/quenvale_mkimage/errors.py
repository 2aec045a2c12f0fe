"""The one way a build or a listing is refused: a BuildError's text becomes
the line "quenvale-mkimage: TEXT" on standard error and exit status 1."""


class BuildError(Exception):
    pass
