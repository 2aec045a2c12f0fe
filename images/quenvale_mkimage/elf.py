"""The ELF headers: what the kernel looks at before it runs a program or
loads a module, and which machines can run which."""

ELF_MAGIC = b"\x7fELF"
ET_REL, ET_EXEC, ET_DYN = 1, 2, 3
PT_DYNAMIC, PT_INTERP = 2, 3
SHT_NOBITS = 8
DT_NEEDED = 1
EM_MIPS = 8
EF_MIPS_ABI2 = 0x20
ELF_TYPES = {0: "file of no type", ET_REL: "relocatable object",
             ET_EXEC: "executable", ET_DYN: "shared object", 4: "core dump"}
MACHINES = {2: "SPARC", 3: "i386", 8: "MIPS", 20: "PowerPC", 21: "PowerPC64",
            22: "S/390", 40: "ARM", 43: "SPARC64", 62: "x86-64",
            183: "AArch64", 243: "RISC-V", 258: "LoongArch"}


class ElfError(Exception):
    pass


class Elf:
    """What the kernel looks at before it runs a program or loads a module."""

    def __init__(self, data):
        if len(data) < 52 or data[4] not in (1, 2) or data[5] not in (1, 2):
            raise ElfError("its ELF header is cut short or damaged")
        self.bits = 32 if data[4] == 1 else 64
        self.order = "little" if data[5] == 1 else "big"

        def num(offset, size):
            if offset + size > len(data):
                raise ElfError("it ends inside its ELF headers")
            return int.from_bytes(data[offset:offset + size], self.order)

        wide = self.bits == 64
        word = 8 if wide else 4
        self.type = num(16, 2)
        self.machine = num(18, 2)
        self.entry = num(24, word)
        phoff = num(24 + word, word)
        self.flags = num(24 + 3 * word, 4)
        phentsize = num(42 + 3 * (word - 4), 2)
        phnum = num(44 + 3 * (word - 4), 2)
        self.shoff = num(24 + 2 * word, word)
        self.shentsize = num(46 + 3 * (word - 4), 2)
        self.shnum = num(48 + 3 * (word - 4), 2)
        self.shstrndx = num(50 + 3 * (word - 4), 2)
        self.data = data
        self.num = num
        self.interp = None
        self.needed = False
        if phnum and phentsize != (56 if wide else 32):
            raise ElfError("its program headers are damaged")
        for i in range(phnum):
            at = phoff + i * phentsize
            p_type = num(at, 4)
            offset = num(at + (8 if wide else 4), word)
            size = num(at + (32 if wide else 16), word)
            if p_type in (PT_INTERP, PT_DYNAMIC) and offset + size > len(data):
                raise ElfError("a program header points past its end")
            if p_type == PT_INTERP:
                self.interp = data[offset:offset + size].split(b"\0")[0].decode(
                    "utf-8", "replace")
            elif p_type == PT_DYNAMIC:
                for at in range(offset, offset + size - 2 * word + 1, 2 * word):
                    tag = num(at, word)
                    if tag == 0:
                        break
                    if tag == DT_NEEDED:
                        self.needed = True

    def sections(self):
        """Section name -> its bytes (SHT_NOBITS ones empty)."""
        wide = self.bits == 64
        if not self.shoff or not self.shnum:
            return {}
        if self.shentsize != (64 if wide else 40) or self.shstrndx >= self.shnum:
            raise ElfError("its section headers are damaged")
        headers = []
        for i in range(self.shnum):
            at = self.shoff + i * self.shentsize
            kind = self.num(at + 4, 4)
            offset = self.num(at + (24 if wide else 16), 8 if wide else 4)
            size = self.num(at + (32 if wide else 20), 8 if wide else 4)
            if kind == SHT_NOBITS:
                size = 0
            elif offset + size > len(self.data):
                raise ElfError("a section header points past its end")
            headers.append((self.num(at, 4), offset, size))
        names = headers[self.shstrndx]
        strings = self.data[names[1]:names[1] + names[2]]
        result = {}
        for name_at, offset, size in headers:
            name = strings[name_at:].split(b"\0", 1)[0].decode("ascii", "replace")
            result.setdefault(name, self.data[offset:offset + size])
        return result

    def arch(self):
        # An n32 MIPS program is 32-bit too, but a 32-bit kernel cannot run
        # it.
        n32 = self.machine == EM_MIPS and bool(self.flags & EF_MIPS_ABI2)
        return (self.bits, self.order, self.machine, n32)


def parse_elf(data):
    """None when data is no ELF file at all."""
    return Elf(data) if data.startswith(ELF_MAGIC) else None


def describe_arch(arch):
    bits, order, machine, n32 = arch
    name = MACHINES.get(machine, "machine %d" % machine)
    return "%s %d-bit %s-endian%s" % (name, bits, order, " n32" if n32 else "")


# A 64-bit kernel of these machines runs the 32-bit programs named (with
# its compat support), so its modules may be 64-bit beside a 32-bit init.
COMPAT_MACHINES = {62: (3, 62), 183: (40,), EM_MIPS: (EM_MIPS,), 21: (20,),
                   22: (22,), 43: (2, 18), 243: (243,)}


def runs_modules_of(program_arch, module_arch):
    if module_arch == program_arch:
        return True
    bits, order, machine, _ = module_arch
    return (bits == 64 and program_arch[0] == 32 and order == program_arch[1]
            and program_arch[2] in COMPAT_MACHINES.get(machine, ()))
