#!/usr/bin/env bash
# Boots quenvale-init as the initramfs /init of real Debian kernels under
# QEMU (TCG), on x86_64 (cloud kernel) and 32-bit MIPS little-endian (malta),
# and checks each scenario on the serial console.
#
# Usage: tests/boot/run.sh [ARCH...] [SCENARIO...]
#   ARCH: x86_64 mipsel (default both); SCENARIO: names from the table below
#   (default all). QUENVALE_BOOT_TIMEOUT: seconds per boot (default 120);
#   QUENVALE_BOOT_INIT_X86_64 / _MIPSEL: boot that binary instead of
#   building one.
#
# Prints one line per boot (arch, scenario, result, seconds) and a closing
# "N passed, N failed" line; exits 1 when any boot failed. Downloads and
# builds go to .cache/boot and build/boot-*; console logs to
# .cache/boot/logs.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

limit=${QUENVALE_BOOT_TIMEOUT:-120}

# Scenario table. Fields, split on '|':
#   name | disk (good: with /etc/preinit, bare: without) | initramfs (std:
#   gzip; badmod: plain cpio with virtio_blk.ko replaced by text) | kernel
#   command line after "console=ttyS0 panic=-1" | expected console text,
#   ';'-separated (a leading '=' asks for the whole line) | text that must
#   not appear, ';'-separated
# preinit prints the QUENVALE-* lines: its arguments, its PID, the root
# mount and virtio_blk's queue_depth parameter.
scenario_table() {
  local ok="=Pass 5: Checking group summary information;=QUENVALE-PID 1;=QUENVALE-ROOT /dev/vda1 ext4"
  cat <<EOF
partuuid|good|std|root=PARTUUID=$PART_UUID|Waiting for root: /dev/disk/by-partuuid/$PART_UUID;=QUENVALE-PREINIT-OK args: ;$ok;=QUENVALE-PARAM queue_depth=0|Kernel panic
uuid|good|std|root=UUID=$FS_UUID|Waiting for root: /dev/disk/by-uuid/$FS_UUID;=QUENVALE-PREINIT-OK args: ;$ok|Kernel panic
devpath|good|std|root=/dev/vda1|=Waiting for root: /dev/vda1;=QUENVALE-PREINIT-OK args: ;$ok|Kernel panic
bare|good|std|root=vda1|=Waiting for root: /dev/vda1;=QUENVALE-PREINIT-OK args: ;$ok|Kernel panic
fstypes|good|std|root=/dev/vda1 rootfstype=ext2,ext4|couldn't mount as ext2 due to feature incompatibilities;=QUENVALE-PREINIT-OK args: ;$ok|Kernel panic
options|good|std|root=PARTUUID=$PART_UUID -- skipped=1 queue_depth=64|=QUENVALE-PREINIT-OK args: skipped=1 queue_depth=64;=QUENVALE-PARAM queue_depth=64;virtio: unknown parameter 'queue_depth' ignored;$ok|Kernel panic;unknown parameter 'skipped'
noroot|good|std||cmdline format error;Kernel panic - not syncing: Attempted to kill init! exitcode=0x0000ff00|Waiting for root;QUENVALE-PREINIT-OK
nopreinit|bare|std|root=/dev/vda1|=Waiting for root: /dev/vda1;Kernel panic - not syncing: Attempted to kill init! exitcode=0x00000000|QUENVALE-PREINIT-OK
twice|good|twice|root=/dev/vda1|=insmod failed:File exists;=failed to load kmods;Kernel panic - not syncing: Attempted to kill init! exitcode=0x0000ff00|Waiting for root
badmodule|good|badmod|root=/dev/vda1|=failed to load kmods;Kernel panic - not syncing: Attempted to kill init! exitcode=0x0000ff00|Waiting for root;virtio_blk virtio0
EOF
}

# check LOG EXPECTED REFUSED: prints what is wrong, if anything.
check() {
  local log=$1 item clean expect=() refuse=()
  IFS=';' read -r -a expect <<<"$2"
  IFS=';' read -r -a refuse <<<"$3"
  clean=$(tr -d '\r' <"$log")
  for item in "${expect[@]}"; do
    if [ "${item:0:1}" = "=" ]; then
      grep -qxF -- "${item:1}" <<<"$clean" || echo "missing line: ${item:1}"
    else
      grep -qF -- "$item" <<<"$clean" || echo "missing: $item"
    fi
  done
  for item in "${refuse[@]}"; do
    grep -qF -- "$item" <<<"$clean" && echo "unexpected: $item"
  done
  return 0
}

arches=()
wanted=()
for arg in "$@"; do
  case $arg in
    x86_64|mipsel) arches+=("$arg") ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    *) scenario_table | cut -d'|' -f1 | grep -qx -- "$arg" ||
         { echo "unknown scenario: $arg" >&2; exit 2; }
       wanted+=("$arg") ;;
  esac
done
[ ${#arches[@]} -gt 0 ] || arches=("${QV_ARCHES[@]}")

qv_install_deps "${arches[@]}"
mkdir -p "$QV_CACHE/logs"

passed=0
failed=0
suite_start=$SECONDS
for arch in "${arches[@]}"; do
  qv_fetch_guest "$arch"
  qv_build_init "$arch"
  work=$QV_CACHE/$arch/images
  mkdir -p "$work"
  qv_make_image "$arch" "$work/std.img" --gzip 2>"$work/std.log" ||
    { cat "$work/std.log" >&2; exit 1; }
  printf 'not an ELF module\n' >"$work/not-elf.ko"
  qv_make_image "$arch" "$work/badmod.img" \
    --file "$(qv_module_path virtio_blk)=$work/not-elf.ko" 2>"$work/badmod.log" ||
    { cat "$work/badmod.log" >&2; exit 1; }
  # The last module of the list once more: the kernel refuses a module that
  # is already loaded, and the start must stop there.
  cpio -i --quiet --to-stdout etc/quenvale_list <"$work/badmod.img" >"$work/std.list"
  { cat "$work/std.list"; tail -n 1 "$work/std.list"; } >"$work/twice.list"
  qv_make_image "$arch" "$work/twice.img" \
    --file "/etc/quenvale_list=$work/twice.list" 2>"$work/twice.log" ||
    { cat "$work/twice.log" >&2; exit 1; }
  "$QV_BOOT_DIR/make-disk.sh" "$work/good.disk" "$QV_BUSYBOX"
  "$QV_BOOT_DIR/make-disk.sh" "$work/bare.disk" "$QV_BUSYBOX" --no-preinit
  echo "$arch: init $(stat -c %s "$QV_INIT") B, initramfs $(stat -c %s "$work/std.img") B (gzip), $(stat -c %s "$work/badmod.img") B (plain), kernel $(basename "$QV_KERNEL")"

  while IFS='|' read -r name disk image cmdline expected refused; do
    if [ ${#wanted[@]} -gt 0 ] && ! printf '%s\n' "${wanted[@]}" | grep -qx -- "$name"; then
      continue
    fi
    log=$QV_CACHE/logs/$arch-$name.log
    start=$(date +%s.%N)
    status=0
    qv_boot "$arch" "$work/$image.img" "$work/$disk.disk" \
      "console=ttyS0 panic=-1 $cmdline" "$log" "$limit" || status=$?
    seconds=$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { print a - b }')
    problems=$(check "$log" "$expected" "$refused")
    [ "$status" -eq 124 ] && problems="timed out after ${limit}s"$'\n'"$problems"
    [ "$status" -ne 0 ] && [ "$status" -ne 124 ] &&
      problems="qemu exited with $status"$'\n'"$problems"
    if [ -z "$problems" ]; then
      result=PASS
      passed=$((passed + 1))
    else
      result=FAIL
      failed=$((failed + 1))
    fi
    printf '%-7s %-10s %s %6.1f s\n' "$arch" "$name" "$result" "$seconds"
    if [ "$result" = FAIL ]; then
      sed 's/^/    /' <<<"$problems"
      echo "    console (${log#"$QV_ROOT"/}), last lines:"
      tr -d '\r' <"$log" | tail -n 15 | sed 's/^/    | /'
    fi
  done < <(scenario_table)
done

echo "boot suite: $((SECONDS - suite_start)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
