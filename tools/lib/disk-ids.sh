# shellcheck shell=bash
# shellcheck disable=SC2034 # for the scripts that source this
# Fixed identifiers of the boot tests' disk, named by the kernel command
# lines: the same disk image on every run.
DISK_UUID=7d1f3a52-0c4e-4b8e-9a51-3c0b5e9d2a11
PART_UUID=5a8c9e10-6b7d-4f21-8c3e-2d9f0a7b6c54
FS_UUID=3e6b2f94-1d85-4c07-b9a2-8f4e6d1c0b73
