#!/usr/bin/env bash
# Boots quenvale-init as the initramfs /init of real Debian kernels under
# QEMU (TCG), on the machines of tools/arches.tsv (x86_64's cloud kernel on
# a PC, 32-bit and 64-bit MIPS little-endian on malta, 32-bit ARM on the
# virt board with a Cortex-A15, 64-bit ARM on virt with a Cortex-A53, 32-bit
# x86's 686 kernel on a PC), and checks each scenario on the serial
# console.
#
# Usage: tests/boot/run.sh [ARCH...] [SCENARIO...]
#   ARCH: a machine of tools/arches.tsv (default all); SCENARIO: names
#   from the table below (default all). QUENVALE_BOOT_TIMEOUT: seconds per
#   boot (default 120); QUENVALE_BOOT_INIT_<ARCH> (X86_64, MIPSEL, ...):
#   boot that binary instead of building one.
#
# Prints one line per boot (arch, scenario, result, seconds; timed boots
# add their figures) and a closing "N passed, N failed" line; exits 1 when
# any boot failed. Scenarios for a bus the guest's kernel cannot reach are
# not booted on that guest. Downloads and builds go to .cache/boot and
# build/boot-*; console logs to .cache/boot/logs.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

limit=${QUENVALE_BOOT_TIMEOUT:-120}

# Scenario table. Fields, split on '|':
#   name | arches it runs on ("all", or names separated by ','; the others
#   leave it out, and so does a guest without a board file for the bus,
#   images/boards) | bus of the root disk
#   (virtio, sd, usb, scsi; usb-swap, usb-card, usb-late, usb-eject, whose
#   devices come and go during the boot: QV_BUS_MONITOR; virtio-dead,
#   virtio-notable, virtio-flaky, with read errors: QV_BUS_DEVICE) | disk
#   (good: with /etc/preinit, bare: without) | initramfs (std: gzip, with the bus's modules; timed: std
#   with the e2fsck stamp; fmt-FORMAT: std in that --compress format (every
#   image is checked against the kernel's configuration); badmod: plain cpio with
#   virtio_blk.ko replaced by text; twice: the last module listed twice) |
#   kernel command line after
#   "console=CONSOLE panic=-1 printk.time=1" (QV_ARCH_CONSOLE) | expected console text,
#   ';'-separated (a leading '=' asks for the whole line) | text that must
#   not appear, ';'-separated
# Without /etc/preinit the start ends with status 0 whether the exec
# failed or the hand-over gave up early; the checker's last pass, the
# kernel's mount line and the absence of the hand-over's own messages say
# that it got as far as the exec.
# preinit prints the QUENVALE-* lines: its arguments, its PID, the root
# mount and virtio_blk's queue_depth parameter. A timed boot must also show
# the kernel's partition line and, after it, the stamps of e2fsck's start
# and of preinit's first line; it prints the time from the one to the
# others. A fmt-* boot prints the image's size and the time the kernel took
# to unpack it (initramfs_async=0: the unpacking alone, not shared with the
# rest of the kernel's start).
scenario_table() {
  # The root read through its partition and its whole disk in the next
  # stage: a disk held during the wait must not serve older bytes.
  local views="=QUENVALE-VIEWS same"
  local checked="=Pass 5: Checking group summary information;=QUENVALE-PID 1;$views"
  local ok="$checked;=QUENVALE-ROOT /dev/vda1 ext4"
  local preinit="=QUENVALE-PREINIT-OK args: "
  local by_part="Waiting for root: /dev/disk/by-partuuid/$PART_UUID"
  local by_uuid="Waiting for root: /dev/disk/by-uuid/$FS_UUID"
  local sd="$preinit;$checked;=QUENVALE-ROOT /dev/mmcblk0p1 ext4"
  local usb="$preinit;$checked;=QUENVALE-ROOT /dev/sda1 ext4"
  # The new stick's sda1 may appear between a check that could not open it
  # and that pass's mount, which goes ahead as after any check: the last
  # check's lines are then missing.
  local swapped="$preinit;=QUENVALE-PID 1;=QUENVALE-ROOT /dev/sda1 ext4;$views"
  # An eject request during the wait is honoured, after a few presses at
  # most; the root's card, once the next stage runs, refuses one.
  local ejected="tries);=monitor: answered as expected: is locked"
  # A disk with read errors probed before the root: the root is the second
  # disk, and the boot writes nothing to the first.
  local second="$preinit;$checked;=QUENVALE-ROOT /dev/vdb1 ext4;=host: the other disk is unchanged"
  cat <<EOF
partuuid|all|virtio|good|timed|root=PARTUUID=$PART_UUID|$by_part;$preinit;$ok;=QUENVALE-PARAM queue_depth=0|Kernel panic
uuid|all|virtio|good|std|root=UUID=$FS_UUID|$by_uuid;$preinit;$ok|Kernel panic
partuuid-caps|all|virtio|good|std|root=PARTUUID=${PART_UUID^^}|=Waiting for root: /dev/disk/by-partuuid/${PART_UUID^^};$preinit;$ok|Kernel panic
uuid-caps|all|virtio|good|std|root=UUID=${FS_UUID^^}|=Waiting for root: /dev/disk/by-uuid/${FS_UUID^^};$preinit;$ok|Kernel panic
devpath|all|virtio|good|std|root=/dev/vda1|=Waiting for root: /dev/vda1;$preinit;$ok|Kernel panic
bare|all|virtio|good|std|root=vda1|=Waiting for root: /dev/vda1;$preinit;$ok|Kernel panic
fstypes|all|virtio|good|std|root=/dev/vda1 rootfstype=ext2,ext4|couldn't mount as ext2 due to feature incompatibilities;$preinit;$ok|Kernel panic
options|all|virtio|good|std|root=PARTUUID=$PART_UUID -- skipped=1 queue_depth=64|=QUENVALE-PREINIT-OK args: skipped=1 queue_depth=64;=QUENVALE-PARAM queue_depth=64;: unknown parameter 'queue_depth' ignored;$ok|Kernel panic;unknown parameter 'skipped'
noroot|all|virtio|good|std||cmdline format error;Kernel panic - not syncing: Attempted to kill init! exitcode=0x0000ff00|Waiting for root;QUENVALE-PREINIT-OK
nopreinit|all|virtio|bare|std|root=/dev/vda1|=Waiting for root: /dev/vda1;=Pass 5: Checking group summary information;EXT4-fs (vda1): mounted filesystem;Kernel panic - not syncing: Attempted to kill init! exitcode=0x00000000|QUENVALE-PREINIT-OK;must be a mountpoint;failed to moving root;not a ramdisk
twice|all|virtio|good|twice|root=/dev/vda1|=insmod failed:File exists;=failed to load kmods;Kernel panic - not syncing: Attempted to kill init! exitcode=0x0000ff00|Waiting for root
badmodule|all|virtio|good|badmod|root=/dev/vda1|=failed to load kmods;Kernel panic - not syncing: Attempted to kill init! exitcode=0x0000ff00|Waiting for root;virtio_blk virtio0
sd-partuuid|all|sd|good|timed|root=PARTUUID=$PART_UUID|$by_part;$sd|Kernel panic
sd-uuid|all|sd|good|timed|root=UUID=$FS_UUID|$by_uuid;$sd|Kernel panic
usb-partuuid|all|usb|good|timed|root=PARTUUID=$PART_UUID|$by_part;$usb|Kernel panic
usb-uuid|all|usb|good|timed|root=UUID=$FS_UUID|$by_uuid;$usb|Kernel panic
scsi-partuuid|all|scsi|good|std|root=PARTUUID=$PART_UUID|$by_part;$usb|Kernel panic
usb-swap|mipsel|usb-swap|good|std|root=/dev/sda1 rootfstype=ext4|=Waiting for root: /dev/sda1;Bad magic number;USB disconnect;$swapped|Kernel panic; sdb: sdb1
usb-card|mipsel|usb-card|good|std|root=PARTUUID=$PART_UUID|$by_part;$usb|Kernel panic
usb-late|mipsel|usb-late|good|std|root=PARTUUID=$PART_UUID|$by_part;$usb|Kernel panic
dead-disk|all|virtio-dead|good|std|root=PARTUUID=$PART_UUID|$by_part;I/O error, dev vda;$second|Kernel panic
no-table|all|virtio-notable|good|std|root=PARTUUID=$PART_UUID|$by_part;vda: unable to read partition table;$second|Kernel panic
flaky-root|all|virtio-flaky|good|std|root=PARTUUID=$PART_UUID|$by_part;I/O error, dev vda;$preinit;$ok|Kernel panic
gap-read-fails|x86_64,mipsel|virtio-gap|good|std|root=UUID=$FS_UUID|$by_uuid;I/O error, dev vda, sector 64544 ;$preinit;$ok|Kernel panic
unread-sector|x86_64,mipsel|virtio-unread|good|std|root=UUID=$FS_UUID|$by_uuid;$preinit;$ok|Kernel panic;I/O error
clone-partuuid|all|virtio-clone|good|std|root=PARTUUID=$PART_UUID|$by_part;$preinit;$checked;host: only the root clone was written|Kernel panic
clone-uuid|all|virtio-clone|good|std|root=UUID=$FS_UUID|$by_uuid;$preinit;$checked;host: only the root clone was written|Kernel panic
usb-eject|mipsel|usb-eject|good|std|root=PARTUUID=$PART_UUID quenvale_linger=5|$by_part;$usb;$ejected|Kernel panic
EOF
  local format
  for format in gzip xz zstd lz4 none; do
    echo "fmt-$format|mipsel|virtio|good|fmt-$format|initramfs_async=0 root=PARTUUID=$PART_UUID|Trying to unpack rootfs image as initramfs...;$by_part;$preinit;$ok|Kernel panic;Initramfs unpacking failed;rootfs image is not initramfs"
  done
}

# check LOG EXPECTED REFUSED: prints what is wrong, if anything.
check() {
  local log=$1 item clean expect=() refuse=()
  IFS=';' read -r -a expect <<<"$2"
  IFS=';' read -r -a refuse <<<"$3"
  # What the monitor did and was answered, and what the host found on the
  # other disks, count as console text.
  clean=$(cat "$log" "$log.monitor" "$log.host" 2>/dev/null | tr -d '\r')
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


# stage_times LOG BUS: milliseconds from the kernel's partition line of BUS
# to the first e2fsck stamp after it and to preinit's stamp, as "E P";
# nothing when one of the three is missing.
stage_times() {
  tr -d '\r' <"$1" | awk -v part="${QV_BUS_PARTITION[$2]}" "$QV_STAMP_AWK"'
    found == "" { found = stamp(part); next }
    e2fsck == "" { e2fsck = stamp("QUENVALE-STAMP e2fsck") }
    preinit == "" { preinit = stamp("QUENVALE-STAMP preinit") }
    END {
      if (found == "" || e2fsck == "" || preinit == "") exit 1
      printf "%.1f %.1f\n", (e2fsck - found) * 1000, (preinit - found) * 1000
    }'
}

# unpack_time LOG: milliseconds from the kernel's "Trying to unpack" line
# to its "Freeing initrd memory" line; nothing when one is missing.
unpack_time() {
  tr -d '\r' <"$1" | awk "$QV_STAMP_AWK"'
    start == "" { start = stamp("Trying to unpack rootfs image as initramfs"); next }
    end == "" { end = stamp("Freeing initrd memory") }
    END {
      if (start == "" || end == "") exit 1
      printf "%.1f\n", (end - start) * 1000
    }'
}

arches=()
wanted=()
for arg in "$@"; do
  case $arg in
    -h|--help) qv_usage; exit 0 ;;
    *) if qv_known_arch "$arg"; then arches+=("$arg"); continue; fi
       scenario_table | cut -d'|' -f1 | grep -qx -- "$arg" ||
         { echo "unknown scenario: $arg" >&2; exit 2; }
       wanted+=("$arg") ;;
  esac
done
[ ${#arches[@]} -gt 0 ] || arches=("${QV_ALL_ARCHES[@]}")

qv_install_deps "${arches[@]}"
mkdir -p "$QV_CACHE/logs"

# want_image BUS KIND: sets $image to the initramfs of that kind for BUS,
# built the first time this run asks for it.
declare -A built=()
want_image() {
  local bus=$1 kind=$2 args=()
  image=$work/$bus-$kind.img
  [ -n "${built[$image]:-}" ] && return 0
  case $kind in
    std) args=(--gzip) ;;
    timed)
      qv_guest_cc "$arch" "$work/e2fsck-stamp" "$QV_BOOT_DIR/e2fsck_stamp.c"
      args=(--gzip --file "/bin/e2fsck=$work/e2fsck-stamp"
            --file "/bin/e2fsck.real=$QV_E2FSCK") ;;
    fmt-*)
      args=(--compress "${kind#fmt-}") ;;
    badmod)
      printf 'not an ELF module\n' >"$work/not-elf.ko"
      args=(--compress none --file "$(qv_module_path virtio_blk)=$work/not-elf.ko") ;;
    twice)
      # The last module of the list once more: the kernel refuses a module
      # that is already loaded, and the start must stop there.
      want_image "$bus" std
      gzip -dc "$image" | cpio -i --quiet --to-stdout etc/quenvale_list >"$work/std.list"
      { cat "$work/std.list"; tail -n 1 "$work/std.list"; } >"$work/twice.list"
      image=$work/$bus-$kind.img
      args=(--gzip --file "/etc/quenvale_list=$work/twice.list") ;;
    *) echo "unknown initramfs kind: $kind" >&2; return 1 ;;
  esac
  qv_make_bus_image "$arch" "$bus" "$image" "${args[@]}" 2>"$image.log" ||
    { cat "$image.log" >&2; return 1; }
  built[$image]=1
}

passed=0
failed=0
suite_start=$SECONDS
for arch in "${arches[@]}"; do
  qv_fetch_guest "$arch"
  qv_build_init "$arch"
  work=$QV_CACHE/$arch/images
  mkdir -p "$work"
  built=()
  want_image virtio std
  std_bytes=$(stat -c %s "$image")
  # /dev/kmsg on the root, for preinit's stamp; 32 MiB, a power of two, for
  # the SD card.
  "$QV_ROOT/tools/make-disk.sh" "$work/good.disk" "$QV_BUSYBOX" \
    --char-node /dev/kmsg:1:11 --size 32
  "$QV_ROOT/tools/make-disk.sh" "$work/bare.disk" "$QV_BUSYBOX" --no-preinit
  # A stick or card without the root: two partitions, no file system.
  QV_JUNK_DISK=$work/junk.disk
  truncate -s 32M "$QV_JUNK_DISK"
  sfdisk -q "$QV_JUNK_DISK" >/dev/null <<'EOF'
label: gpt
start=2048, size=16384, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=6b1d2e3f-4a5b-4c6d-8e7f-000000000001
size=16384, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=6b1d2e3f-4a5b-4c6d-8e7f-000000000002
EOF
  echo "$arch: init $(stat -c %s "$QV_INIT") B, initramfs $std_bytes B (gzip), kernel $(basename "$QV_KERNEL")"

  while IFS='|' read -r name only bus disk kind cmdline expected refused; do
    if [ ${#wanted[@]} -gt 0 ] && ! printf '%s\n' "${wanted[@]}" | grep -qx -- "$name"; then
      continue
    fi
    # A row for other guests is no boot of this one: it is left out, and
    # named only when it was asked for.
    if [ "$only" != all ] && ! tr ',' '\n' <<<"$only" | grep -qx -- "$arch"; then
      [ ${#wanted[@]} -gt 0 ] && printf '%-7s %-14s n/a (%s only)\n' "$arch" "$name" "$only"
      continue
    fi
    if ! qv_board "$arch" "$bus" >/dev/null; then
      [ ${#wanted[@]} -gt 0 ] && printf '%-7s %-14s n/a (no %s board)\n' "$arch" "$name" "${bus%%-*}"
      continue
    fi
    want_image "$bus" "$kind"
    log=$QV_CACHE/logs/$arch-$name.log
    start=$(date +%s.%N)
    status=0
    qv_boot "$arch" "$image" "$work/$disk.disk" \
      "console=${QV_ARCH_CONSOLE[$arch]} panic=-1 printk.time=1 $cmdline" "$log" "$limit" "$bus" ||
      status=$?
    seconds=$(awk -v a="$(date +%s.%N)" -v b="$start" 'BEGIN { print a - b }')
    problems=$(check "$log" "$expected" "$refused")
    [ "$status" -eq 124 ] && problems="timed out after ${limit}s"$'\n'"$problems"
    [ "$status" -ne 0 ] && [ "$status" -ne 124 ] &&
      problems="qemu exited with $status"$'\n'"$problems"
    figures=
    if [ "$kind" = timed ]; then
      if times=$(stage_times "$log" "$bus"); then
        read -r to_e2fsck to_preinit <<<"$times"
        figures="  ${QV_BUS_PARTITION[$bus]# } -> e2fsck $to_e2fsck ms, -> preinit $to_preinit ms"
      else
        problems="no figures: partition line, e2fsck or preinit stamp missing"$'\n'"$problems"
      fi
    elif [ "${kind#fmt-}" != "$kind" ]; then
      if ms=$(unpack_time "$log"); then
        figures="  $(stat -c %s "$image") B, unpacked in $ms ms"
      else
        problems="no figures: the kernel's unpacking lines are missing"$'\n'"$problems"
      fi
    fi
    problems=$(sed '/^$/d' <<<"$problems")
    if [ -z "$problems" ]; then
      result=PASS
      passed=$((passed + 1))
    else
      result=FAIL
      failed=$((failed + 1))
    fi
    printf '%-7s %-14s %s %6.1f s%s\n' "$arch" "$name" "$result" "$seconds" "$figures"
    if [ "$result" = FAIL ]; then
      sed 's/^/    /' <<<"$problems"
      echo "    console (${log#"$QV_ROOT"/}), last lines:"
      tr -d '\r' <"$log" | tail -n 15 | sed 's/^/    | /'
      if [ -s "$log.monitor" ]; then
        echo "    monitor (${log#"$QV_ROOT"/}.monitor):"
        sed 's/^/    | /' "$log.monitor"
      fi
    fi
  done < <(scenario_table)
done

echo "boot suite: $((SECONDS - suite_start)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
