#!/bin/bash
# run-in-vm.sh: runs a list of shell commands inside a small Linux virtual
# machine whose CD-ROM drives are IDE/ATAPI drives emulated by QEMU, and prints
# what they wrote.
#
# The machine is Debian's own kernel (/boot/vmlinuz-*-amd64, the newest) booted
# by qemu-system-x86_64 (TCG, or KVM when /dev/kvm is usable) from an initramfs
# made here: busybox, the kernel modules that turn an IDE/ATAPI CD-ROM into
# /dev/srN and /dev/sgN and that mount its disc (isofs), and the programs
# under test with their shared libraries. The initramfs is cached in the work
# folder and made again when one of its inputs changes (this script, busybox,
# the programs, their libraries, the modules); each run appends a second small
# archive with the commands.
#
# Usage: run-in-vm.sh [options] DISC ZAMO_CLI COMMANDS
#   DISC       image file in the first drive (/dev/sr0), or "none" for an empty drive
#   ZAMO_CLI   the zamo-cli binary, installed as /usr/bin/zamo-cli
#   COMMANDS   a file of shell commands, one a line ("#" lines and empty lines are
#              skipped); each line runs in its own `sh -c` under a time limit
# Options:
#   --drive IMAGE|none     one more drive (/dev/sr1, /dev/sr2...), on the next IDE
#                          position (primary slave, then secondary master...)
#   --tool PROGRAM         one more host program (name on PATH or path) copied to
#                          /usr/bin with its libraries, e.g. sg_inq
#   --work-dir DIR         where the initramfs is cached (default: the folder
#                          "zamo-vm" beside ZAMO_CLI)
#   --timeout SECONDS      bound on the whole machine run (default 120)
#   --command-timeout S    bound on each command inside the machine (default 30)
#
# The commands run as root. The drives' nodes belong to the group cdrom with
# mode 660, as udev makes them on Debian, and two users exist for commands
# run through `su -s /bin/sh USER -c '...'`: "graveur" (uid 1000, in the group
# cdrom) and "invite" (uid 1001, outside it).
#
# Output (stdout): the machine's serial console, carriage returns removed.
# Between the lines "ZAMO-VM BEGIN" and "ZAMO-VM END", each command reads
#   ZAMO-VM CMD <the command line>
#   <its standard output>
#   ZAMO-VM STDERR
#   <its standard error>
#   ZAMO-VM STATUS <exit status; 143 or 137 when its time limit ended it>
# "ZAMO-VM UPTIME <seconds>" lines give the guest's clock at BEGIN and END.
#
# Exit status: 0 the machine ran every command and printed END; 1 it did not
# (boot failure, time limit: the console printed so far is still shown);
# 2 usage error; 3 a prerequisite is missing (qemu, kernel, busybox, cpio, a
# tool), so that a test can skip.
set -u

readonly MARK="ZAMO-VM"
# Modules that make the PIIX IDE controller of QEMU's "pc" machine and its ATAPI
# drives appear as /dev/srN (sr_mod) and /dev/sgN (sg), and the kernel's ISO
# 9660 file system (isofs), so that a command can mount a disc; their
# dependencies (libata, scsi_mod, scsi_common, cdrom) come from modules.dep.
readonly WANTED_MODULES="ata_piix sr_mod sg isofs"

die() { echo "run-in-vm: $1" >&2; exit "${2:-2}"; }
missing() { die "$1" 3; }

usage() {
  sed -n '/^# Usage:/,/^# Output/p' "$0" | sed -e 's/^# \{0,1\}//' -e '/^Output/d' >&2
  exit 2
}

# ---------------------------------------------------------------------------
# Arguments.

work_dir=""
run_timeout=120
command_timeout=30
extra_drives=()
tools=()
while [ $# -gt 0 ]; do
  case $1 in
    --drive) [ $# -ge 2 ] || usage; extra_drives+=("$2"); shift 2 ;;
    --tool) [ $# -ge 2 ] || usage; tools+=("$2"); shift 2 ;;
    --work-dir) [ $# -ge 2 ] || usage; work_dir=$2; shift 2 ;;
    --timeout) [ $# -ge 2 ] || usage; run_timeout=$2; shift 2 ;;
    --command-timeout) [ $# -ge 2 ] || usage; command_timeout=$2; shift 2 ;;
    -h|--help) usage ;;
    --) shift; break ;;
    -*) echo "run-in-vm: unknown option $1" >&2; usage ;;
    *) break ;;
  esac
done
[ $# -eq 3 ] || usage
disc=$1
cli=$2
commands=$3
case $run_timeout$command_timeout in *[!0-9]*) die "time limits are whole seconds" ;; esac
[ "$disc" = none ] || [ -r "$disc" ] || die "cannot read disc image $disc"
[ -x "$cli" ] || die "not an executable: $cli"
[ -r "$commands" ] || die "cannot read command file $commands"
for d in "${extra_drives[@]}"; do
  [ "$d" = none ] || [ -r "$d" ] || die "cannot read disc image $d"
done
[ ${#extra_drives[@]} -le 3 ] || die "at most 4 drives: the IDE controller has 4 positions"
[ -n "$work_dir" ] || work_dir="$(cd "$(dirname "$cli")" && pwd)/zamo-vm"

# ---------------------------------------------------------------------------
# Prerequisites.

qemu=$(command -v qemu-system-x86_64) || missing "qemu-system-x86_64 is not installed (package qemu-system-x86)"
for p in cpio timeout flock sha256sum; do
  command -v "$p" >/dev/null || missing "$p is not installed"
done
kernel=$(ls /boot/vmlinuz-*-amd64 2>/dev/null | sort -V | tail -n 1)
[ -n "$kernel" ] || missing "no /boot/vmlinuz-*-amd64 (package linux-image-amd64)"
[ -r "$kernel" ] || missing "cannot read $kernel"
kernel_version=${kernel#/boot/vmlinuz-}
module_dir=/lib/modules/$kernel_version
[ -r "$module_dir/modules.dep" ] || missing "no $module_dir/modules.dep"
busybox=""
for b in /bin/busybox /usr/bin/busybox $(command -v busybox 2>/dev/null); do
  if [ -x "$b" ]; then busybox=$b; break; fi
done
[ -n "$busybox" ] || missing "busybox is not installed (package busybox-static)"
tool_paths=()
for t in "${tools[@]}"; do
  p=$(command -v "$t") || missing "tool $t is not installed"
  tool_paths+=("$p")
done

mkdir -p "$work_dir" || die "cannot make $work_dir"

# ---------------------------------------------------------------------------
# The modules to load, in dependency order: for each wanted module, the
# dependencies modules.dep lists (last one first, as modprobe loads them), then
# the module itself. A module built into the kernel needs no loading.

module_files=()
resolve_modules() {
  local wanted line path dep i
  local -a deps
  for wanted in $WANTED_MODULES; do
    line=$(grep -E "(^|/)${wanted}\.ko(\.xz|\.zst|\.gz)?:" "$module_dir/modules.dep" | head -n 1)
    if [ -z "$line" ]; then
      grep -qE "(^|/)${wanted}\.ko\$" "$module_dir/modules.builtin" 2>/dev/null && continue
      missing "kernel $kernel_version has no module $wanted"
    fi
    path=${line%%:*}
    read -r -a deps <<< "${line#*:}"
    for ((i = ${#deps[@]} - 1; i >= 0; i--)); do add_module "${deps[i]}"; done
    add_module "$path"
  done
}
add_module() {
  local m
  for m in "${module_files[@]}"; do [ "$m" = "$1" ] && return; done
  module_files+=("$1")
}
resolve_modules

# Shared libraries of a dynamic program, with the loader, as absolute paths.
libraries_of() {
  ldd "$1" 2>/dev/null | sed -n -e 's/.*=> \(\/[^ ]*\) (.*/\1/p' -e 's/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'
}

libraries=()
for program in "$cli" "$busybox" "${tool_paths[@]}"; do
  while IFS= read -r lib; do
    [ -n "$lib" ] && libraries+=("$lib")
  done < <(libraries_of "$program")
done
mapfile -t libraries < <(printf '%s\n' "${libraries[@]}" | sort -u | sed '/^$/d')

# ---------------------------------------------------------------------------
# The cached initramfs.

modules_abs=()
for m in "${module_files[@]}"; do modules_abs+=("$module_dir/$m"); done
key=$( {
  echo "$kernel_version ${module_files[*]} ${tools[*]}"
  sha256sum "$0" "$busybox" "$cli" "${tool_paths[@]}" "${libraries[@]}" "${modules_abs[@]}"
} | sha256sum | cut -d' ' -f1)

base="$work_dir/base.cpio"

write_init() {
  cat > "$1" <<'EOF'
#!/bin/sh
# PID 1 of the test machine: modules, drives, the commands, power off.
export PATH=/usr/bin:/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /tmp /mnt
# Kernel messages would land in the middle of the commands' output.
dmesg -n 1
. /etc/zamo-vm/run.conf
for m in $(cat /etc/zamo-vm/modules); do
  insmod "/lib/modules/$m" || echo "ZAMO-VM MODULE-FAILED $m"
done
# The ATA scan runs after insmod returns: wait, bounded, for every drive's
# block and generic nodes.
tries=$((DEVICE_WAIT * 10))
n=0
while [ $n -lt $DRIVES ] && [ $tries -gt 0 ]; do
  if [ -b /dev/sr$n ] && [ -c /dev/sg$n ]; then n=$((n + 1)); continue; fi
  sleep 0.1
  tries=$((tries - 1))
done
if [ $n -lt $DRIVES ]; then
  echo "ZAMO-VM MISSING-DRIVES found $n of $DRIVES"
  dmesg | tail -n 40
fi
# What udev gives the drives on Debian: the group cdrom may read and write.
for node in /dev/sr* /dev/sg*; do
  [ -e "$node" ] && chgrp cdrom "$node" && chmod 660 "$node"
done
ends_in_newline() { [ ! -s "$1" ] || [ -z "$(tail -c 1 "$1")" ]; }
echo "ZAMO-VM BEGIN"
echo "ZAMO-VM UPTIME $(cut -d' ' -f1 /proc/uptime)"
while IFS= read -r line || [ -n "$line" ]; do
  case $line in ''|'#'*) continue ;; esac
  echo "ZAMO-VM CMD $line"
  timeout -k 2 "$COMMAND_TIMEOUT" sh -c "$line" >/tmp/out 2>/tmp/err </dev/null
  status=$?
  cat /tmp/out; ends_in_newline /tmp/out || echo
  echo "ZAMO-VM STDERR"
  cat /tmp/err; ends_in_newline /tmp/err || echo
  echo "ZAMO-VM STATUS $status"
done < /etc/zamo-vm/commands.sh
echo "ZAMO-VM UPTIME $(cut -d' ' -f1 /proc/uptime)"
echo "ZAMO-VM END"
sync
poweroff -f
# Should poweroff fail, the end of PID 1 panics the kernel, and with panic=-1
# and -no-reboot QEMU then exits.
exit 1
EOF
  chmod 755 "$1"
}

copy_file() {  # SOURCE DEST: follows symbolic links
  mkdir -p "$(dirname "$2")" && cp -L "$1" "$2"
}

build_base() {
  local root="$work_dir/root.tmp" m name applet lib t
  rm -rf "$root"
  mkdir -p "$root"/{bin,sbin,usr/bin,lib/modules,etc/zamo-vm,proc,sys,dev,tmp,mnt} || return 1
  copy_file "$busybox" "$root/bin/busybox" || return 1
  for applet in $("$busybox" --list); do
    [ "$applet" = busybox ] || ln -sf busybox "$root/bin/$applet"
  done
  # Debug information is no use in the machine and would make the archive large.
  strip --strip-debug -o "$root/usr/bin/zamo-cli" "$cli" 2>/dev/null || copy_file "$cli" "$root/usr/bin/zamo-cli" || return 1
  chmod 755 "$root/usr/bin/zamo-cli"
  for t in "${tool_paths[@]}"; do copy_file "$t" "$root/usr/bin/$(basename "$t")" || return 1; done
  for lib in "${libraries[@]}"; do copy_file "$lib" "$root$lib" || return 1; done
  : > "$root/etc/zamo-vm/modules"
  for m in "${module_files[@]}"; do
    name=$(basename "$m")
    # busybox insmod reads plain modules only: decompress here.
    case $name in
      *.ko.xz) xz -dc "$module_dir/$m" > "$root/lib/modules/${name%.xz}" || return 1; name=${name%.xz} ;;
      *.ko.zst) zstd -qdc "$module_dir/$m" > "$root/lib/modules/${name%.zst}" || return 1; name=${name%.zst} ;;
      *.ko.gz) gzip -dc "$module_dir/$m" > "$root/lib/modules/${name%.gz}" || return 1; name=${name%.gz} ;;
      *) cp "$module_dir/$m" "$root/lib/modules/$name" || return 1 ;;
    esac
    echo "$name" >> "$root/etc/zamo-vm/modules"
  done
  printf '%s\n' 'root:x:0:0:root:/root:/bin/sh' 'graveur:x:1000:1000:graveur:/tmp:/bin/sh' \
    'invite:x:1001:1001:invite:/tmp:/bin/sh' > "$root/etc/passwd"
  printf '%s\n' 'root:x:0:' 'cdrom:x:24:graveur' 'graveur:x:1000:' 'invite:x:1001:' > "$root/etc/group"
  write_init "$root/init"
  (cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) > "$base.tmp" || return 1
  mv "$base.tmp" "$base" && echo "$key" > "$base.key"
  rm -rf "$root"
}

run_dir=""
cleanup() { [ -n "$run_dir" ] && rm -rf "$run_dir"; }
trap cleanup EXIT
trap 'exit 130' INT TERM

# One builder at a time per work folder; the lock is held until this run's
# initramfs is assembled, so that no other run replaces the base meanwhile.
exec 9> "$work_dir/lock"
flock -w 300 9 || die "work folder $work_dir stayed locked for 300 s" 1
if [ ! -f "$base" ] || [ "$(cat "$base.key" 2>/dev/null)" != "$key" ]; then
  build_base || die "could not build the initramfs in $work_dir" 1
fi
run_dir=$(mktemp -d "$work_dir/run.XXXXXX") || die "cannot make a run folder in $work_dir" 1
mkdir -p "$run_dir/root/etc/zamo-vm"
cp "$commands" "$run_dir/root/etc/zamo-vm/commands.sh"
drive_count=$((1 + ${#extra_drives[@]}))
cat > "$run_dir/root/etc/zamo-vm/run.conf" <<EOF
DRIVES=$drive_count
COMMAND_TIMEOUT=$command_timeout
DEVICE_WAIT=30
EOF
(cd "$run_dir/root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) > "$run_dir/run.cpio" \
  || die "could not build the command archive" 1
# The kernel unpacks concatenated archives one after the other.
cat "$base" "$run_dir/run.cpio" > "$run_dir/initrd" || die "could not assemble the initramfs" 1
flock -u 9

# ---------------------------------------------------------------------------
# The machine.

drive_args=()
index=0
for d in "$disc" "${extra_drives[@]}"; do
  if [ "$d" = none ]; then
    drive_args+=(-drive "if=ide,index=$index,media=cdrom")
  else
    abs=$(cd "$(dirname "$d")" && pwd)/$(basename "$d")
    drive_args+=(-drive "if=ide,index=$index,media=cdrom,readonly=on,format=raw,file=${abs//,/,,}")
  fi
  index=$((index + 1))
done
# TCG by default: a /dev/kvm may exist in a sandbox that cannot run it well.
# ZAMO_VM_ACCEL=kvm asks for KVM where it is known to work.
accel=${ZAMO_VM_ACCEL:-tcg}

# mitigations=off: nothing in the machine needs protecting, and page-table
# isolation makes every system call much slower under TCG.
started=$(date +%s.%N)
timeout -k 5 "$run_timeout" "$qemu" -machine pc,accel=$accel -m 256 -nodefaults -display none \
  -serial stdio -no-reboot -kernel "$kernel" -initrd "$run_dir/initrd" \
  -append "console=ttyS0 quiet panic=-1 mitigations=off" "${drive_args[@]}" \
  < /dev/null > "$run_dir/console" 2> "$run_dir/qemu.err"
qemu_status=$?
ended=$(date +%s.%N)
tr -d '\r' < "$run_dir/console"
cat "$run_dir/qemu.err" >&2
seconds=$(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.1f", b - a }')
if [ $qemu_status -eq 124 ] || [ $qemu_status -eq 137 ]; then
  echo "run-in-vm: the machine did not finish within $run_timeout s" >&2
fi
if ! grep -q "^$MARK END" "$run_dir/console"; then
  echo "run-in-vm: the machine stopped before the end of the commands (qemu status $qemu_status, $seconds s)" >&2
  exit 1
fi
echo "run-in-vm: machine ran in $seconds s ($accel)" >&2
exit 0
