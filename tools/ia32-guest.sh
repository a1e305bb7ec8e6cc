#!/bin/sh
# Runs the 32-bit parts of the tests and the main job on a machine that cannot
# run 32-bit x86 code itself (tools/ia32-probe.sh tells), inside a Debian 12
# guest under full-system emulation. Such machines refuse every i386 program
# and fault on any switch to the 32-bit code segment, so neither Wine's 32-bit
# loader nor its WoW64 mode can start there; qemu-user for i386 runs plain
# programs but not Wine. A whole emulated machine does: its own kernel runs
# i386 programs as any x86-64 Debian kernel does.
#
#   tools/ia32-guest.sh make            make the guest once per machine (about 10 min of downloads and packing)
#   tools/ia32-guest.sh run CMD [ARG..] boot it, run CMD in this clone as root, power off; exit code is CMD's
#
# The guest is kept outside the clone ($QUILMO_IA32_GUEST_DIR, default
# /var/cache/quilmo/ia32-guest), so later runs and later clones reuse it; it is
# made again when tools/bootstrap.sh's package list changes. Each run boots a
# throw-away copy-on-write view of its disk, so nothing a run does stays.
# The clone is shared into the guest at the same absolute path (9p), so build
# trees made on this machine are found where CMake wrote them: build here
# (cross-compiling is 64-bit work, many times faster than in the emulator) and
# run only the Wine parts in the guest.
#
# Emulation is software only (no KVM here), so the guest is 10 to 30 times
# slower than the machine; QEMU's multi-threaded TCG uses both cores.
set -eu

here="$(cd "$(dirname "$0")/.." && pwd)"
guest="${QUILMO_IA32_GUEST_DIR:-/var/cache/quilmo/ia32-guest}"
mirror="${QUILMO_DEBIAN_MIRROR:-http://deb.debian.org/debian}"
security_mirror="${QUILMO_DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}"
memory="${QUILMO_IA32_GUEST_MEMORY:-8G}"

SUDO=""
if [ "$(id -u)" != "0" ]; then SUDO="sudo"; fi

# What the guest was made from; a change makes it again.
guest_recipe() {
  { cat "$here/tools/bootstrap.sh"; sed -n '/^guest_init()/,/^}/p' "$0"; echo "$mirror"; } | sha256sum | cut -c1-16
}

host_packages() {
  missing=""
  for p in qemu-system-x86 debootstrap e2fsprogs; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
  done
  [ -z "$missing" ] && return 0
  echo "ia32-guest: installing$missing"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends $missing
}

# The guest's init, kept on its disk: mounts the run folder and hands over to
# the run's own script (run_script), so what a run does can change without
# making the guest again. No service manager: nothing else runs beside it.
guest_init() {
  cat <<'EOF'
#!/bin/sh
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
mount -t proc proc /proc 2>/dev/null; mount -t sysfs sys /sys 2>/dev/null; mount -t devtmpfs dev /dev 2>/dev/null
modprobe 9pnet_virtio
mkdir -p /mnt/quilmo-io
mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576 io /mnt/quilmo-io && sh /mnt/quilmo-io/init.sh
echo o > /proc/sysrq-trigger
EOF
}

# What a run does in the guest: the mounts a test run needs, the clone at its
# own path, the command, its exit code into the run folder, power off. The
# clone is mounted with cache=loose: with cache=none or cache=mmap, Wine's
# mapping of a large executable on the share reads zeros where the loader
# wrote its import table, and the installer faults at its first import. Only
# the guest writes the share while a run lasts, so nothing is read stale.
run_script() {
  cat <<EOF
mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts; mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp; mount -t tmpfs tmpfs /run; mount -t tmpfs tmpfs /var/tmp
ip link set lo up
hostname localhost
mkdir -p '$here'
mount -t 9p -o trans=virtio,version=9p2000.L,msize=1048576,cache=loose clone '$here' || exit 1
cd '$here' && sh /mnt/quilmo-io/command.sh
echo \$? > /mnt/quilmo-io/rc
sync
# Power off here: were init to end first, the kernel would panic on the way.
echo o > /proc/sysrq-trigger
sleep 60
EOF
}

make_guest() {
  recipe="$(guest_recipe)"
  if [ -f "$guest/disk.img" ] && [ "$(cat "$guest/recipe" 2>/dev/null)" = "$recipe" ]; then
    echo "ia32-guest: $guest is ready"
    return 0
  fi
  host_packages
  $SUDO mkdir -p "$guest"
  root="$guest/root"
  $SUDO rm -rf "$root" "$guest/disk.img" "$guest/recipe"
  echo "ia32-guest: debootstrap of Debian 12 into $root"
  $SUDO debootstrap --variant=minbase --include=linux-image-amd64,iproute2,kmod,ca-certificates \
    bookworm "$root" "$mirror" >"$guest/debootstrap.log" 2>&1 || { tail -n 20 "$guest/debootstrap.log"; exit 1; }
  printf 'deb %s bookworm main\ndeb %s bookworm-updates main\ndeb %s bookworm-security main\n' \
    "$mirror" "$mirror" "$security_mirror" | $SUDO tee "$root/etc/apt/sources.list" >/dev/null
  # Without a name for localhost the installer cannot reach its local server.
  printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' | $SUDO tee "$root/etc/hosts" >/dev/null
  echo localhost | $SUDO tee "$root/etc/hostname" >/dev/null
  # The project's own package list, installed the project's own way.
  $SUDO mkdir -p "$root/tmp/quilmo-tools"
  $SUDO cp "$here/tools/bootstrap.sh" "$here/tools/ia32-probe.sh" "$root/tmp/quilmo-tools/"
  for fs in proc sys dev; do $SUDO mount --bind "/$fs" "$root/$fs"; done
  status=0
  $SUDO chroot "$root" /bin/sh -c 'QUILMO_NO_IA32_PROBE=1 /tmp/quilmo-tools/bootstrap.sh && apt-get clean' \
    >"$guest/packages.log" 2>&1 || status=$?
  for fs in dev sys proc; do $SUDO umount "$root/$fs"; done
  [ $status -eq 0 ] || { tail -n 20 "$guest/packages.log"; exit 1; }
  $SUDO rm -rf "$root/tmp/quilmo-tools"
  guest_init | $SUDO tee "$root/sbin/quilmo-guest-init" >/dev/null
  $SUDO chmod 755 "$root/sbin/quilmo-guest-init"
  $SUDO cp "$(ls "$root"/boot/vmlinuz-* | sort | tail -n 1)" "$guest/vmlinuz"
  $SUDO cp "$(ls "$root"/boot/initrd.img-* | sort | tail -n 1)" "$guest/initrd.img"
  echo "ia32-guest: packing the disk"
  $SUDO mke2fs -q -t ext4 -L quilmo-guest -d "$root" "$guest/disk.img" 8G
  $SUDO rm -rf "$root"
  echo "$recipe" | $SUDO tee "$guest/recipe" >/dev/null
  echo "ia32-guest: $guest is ready"
}

run_in_guest() {
  [ $# -ge 1 ] || { echo "usage: $0 run CMD [ARG...]" >&2; exit 2; }
  make_guest
  io="$(mktemp -d "${TMPDIR:-/tmp}/quilmo-guest-io.XXXXXX")"
  trap 'rm -rf "$io"' EXIT
  # The command, quoted for the guest's shell.
  {
    printf 'exec'
    for arg in "$@"; do printf " '%s'" "$(printf '%s' "$arg" | sed "s/'/'\\\\''/g")"; done
    printf '\n'
  } > "$io/command.sh"
  run_script > "$io/init.sh"
  # No SMAP: QEMU 7.2's emulation pops the stack of an iret in user mode
  # with supervisor rights, which SMAP faults, and Wine returns with iret.
  qemu-system-x86_64 -accel tcg,thread=multi -cpu max,smap=off -smp "$(nproc)" -m "$memory" \
    -kernel "$guest/vmlinuz" -initrd "$guest/initrd.img" \
    -append "root=/dev/vda rw console=ttyS0 quiet loglevel=3 panic=-1 init=/sbin/quilmo-guest-init" \
    -drive "file=$guest/disk.img,if=virtio,format=raw,snapshot=on,cache=unsafe" \
    -virtfs "local,path=$here,mount_tag=clone,security_model=none,multidevs=remap" \
    -virtfs "local,path=$io,mount_tag=io,security_model=none,multidevs=remap" \
    -nic none -display none -monitor none -serial stdio -no-reboot </dev/null
  if [ ! -f "$io/rc" ]; then
    echo "ia32-guest: the guest ended without the command's exit code (see the console output above)" >&2
    return 125
  fi
  return "$(cat "$io/rc")"
}

case "${1:-}" in
  make) make_guest ;;
  run) shift; run_in_guest "$@" ;;
  *) echo "usage: $0 make | run CMD [ARG...]" >&2; exit 2 ;;
esac
