"""The load order: the wanted modules, each after everything it needs, and
the refusal of an --exclude a kept module cannot do without."""

from .errors import BuildError
from .modules import normalize


class Resolver:
    """Orders modules so that each one follows everything it needs: its
    modules.dep dependencies and its soft "pre:" dependencies before it, its
    "post:" ones after it."""

    def __init__(self, index, exclude=(), tree="the module tree"):
        self.index = index
        self.tree = tree
        # The user's spelling, for messages.
        self.exclude = {normalize(n): n for n in exclude}
        self.order = []
        self.done = set()
        self.active = set()
        # The modules being placed, outermost first: what a refusal shows
        # as the chain.
        self.stack = []
        self.notes = []

    def refuse_excluded(self, names, step):
        """An excluded module a kept one cannot do without: the image
        would stop at the user's load."""
        chain = self.stack + ([step] if step else []) + ["/".join(names)]
        raise BuildError("%s: %s needs %s (%s)"
                         % (" ".join("--exclude " + self.exclude[n] for n in names),
                            self.stack[-1], "it" if len(names) == 1 else "one of them",
                            " -> ".join(chain)))

    def providers(self, name, needed=True):
        """Module names for a soft dependency, which may be an alias
        (crypto-crc32c): [] when the kernel has it built in. needed: a pre:
        one, which its user cannot do without."""
        key = normalize(name)
        if key in self.index.paths:
            if key not in self.exclude:
                return [key]
            if needed:
                self.refuse_excluded([key], None)
            return []
        if key in self.index.builtin or self.index.builtin_aliases.match(name):
            return []
        # modprobe loads every module an alias matches.
        found = sorted(self.index.aliases.match(name))
        if not found:
            self.notes.append("soft dependency %s not found, skipped" % name)
        known = [p for p in found if p in self.index.paths]
        found = [p for p in known if p not in self.exclude]
        if known and not found and needed:
            # One provider of several may go (the one a board's CPU
            # refuses); the last one may not.
            self.refuse_excluded(known, "softdep " + name)
        if len(found) > 1:
            # The init stops at the first module the kernel refuses, and an
            # implementation for a CPU feature is refused where the CPU lacks
            # it (crc32-arm-ce on an ARMv7 core).
            self.notes.append("soft dependency %s: taking every module that provides it, %s;"
                              " --exclude those the board's CPU cannot load"
                              % (name, ", ".join(found)))
        return found

    def want(self, name):
        key = normalize(name)
        if key in self.exclude:
            raise BuildError("--exclude %s: --module %s asks for it"
                             % (self.exclude[key], name))
        if key in self.index.paths:
            self.visit(key)
            return
        if key in self.index.builtin or self.index.builtin_aliases.match(name):
            self.notes.append("%s is built into the kernel" % name)
            return
        hits = sorted(p for p in self.index.aliases.match(name)
                      if p in self.index.paths)
        if not hits:
            raise BuildError("module %s not found in %s" % (name, self.tree))
        kept = [hit for hit in hits if hit not in self.exclude]
        if not kept:
            raise BuildError("--exclude %s: --module %s asks for it (the only "
                             "module that alias names)" % (self.exclude[hits[0]], name))
        for hit in kept:
            self.visit(hit)

    def visit(self, name):
        if name in self.done or name in self.active:
            # A name still active is a soft dependency loop: its first
            # visit places it.
            return
        self.active.add(name)
        self.stack.append(name)
        for soft in self.index.pre.get(name, []):
            for provider in self.providers(soft):
                self.visit(provider)
        # depmod lists the deepest dependencies last; modprobe loads them
        # first.
        for dep in reversed(self.index.deps.get(name, [])):
            if dep not in self.index.paths:
                raise BuildError("%s needs %s, which modules.dep does not list"
                                 % (name, dep))
            if dep in self.exclude:
                self.refuse_excluded([dep], None)
            self.visit(dep)
        self.stack.pop()
        self.active.discard(name)
        self.done.add(name)
        self.order.append(name)
        # Loaded after their user, so nothing kept needs them: an excluded
        # one is simply left out.
        for soft in self.index.post.get(name, []):
            for provider in self.providers(soft, needed=False):
                self.visit(provider)
