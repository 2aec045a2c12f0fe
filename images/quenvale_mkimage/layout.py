"""What the program takes for granted in its RAM disk."""

LIST_PATH = "/etc/quenvale_list"
# The program's mount points and the homes of its fixed files; it makes none
# of them itself.
BASE_DIRS = ("/bin", "/dev", "/etc", "/proc", "/root", "/sys")
CONSOLE = ("/dev/console", 0o600, 5, 1)
# The program runs these two; the kernel and the program execute them from
# the RAM disk, so neither may need anything outside it.
PROGRAMS = ("/init", "/bin/e2fsck")
