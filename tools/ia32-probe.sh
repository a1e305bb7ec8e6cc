#!/bin/sh
# Tells within a second whether this machine can run 32-bit x86 code, which
# the installer, its test programs and Wine's 32-bit loader all need.
#
#   tools/ia32-probe.sh              exit 0: it can; exit 1: it cannot (one line on stdout says why)
#   tools/ia32-probe.sh --write DIR  only writes the three probe programs into DIR
#
# Some hypervisors run 64-bit user code only: the kernel refuses i386 programs
# ("Exec format error", exit 126) and a 64-bit program that switches to the
# 32-bit code segment dies with a protection fault. Two tiny hand-made static
# ELF programs tell both apart from an ordinary machine, with no compiler and
# no package installed:
#   - an i386 program that exits 42 (what Wine's 32-bit loader needs first);
#   - an x86-64 program that far-jumps into the 32-bit code segment (selector
#     0x23) and exits 42 from there, so an emulator registered for i386 programs
#     (qemu-user in binfmt_misc, which cannot carry Wine) does not pass.
# A third, plain x86-64 program that exits 42 shows the folder can run programs
# at all, so a folder mounted noexec is never taken for a machine without IA-32.
set -u

# Writes the bytes given as hexadecimal pairs, as one printf of octal escapes
# (shell arithmetic, no process per byte).
write_bytes() {
  out="$1"; shift
  escapes=""
  for b in $*; do
    n=$((0x$b))
    escapes="$escapes\\$((n / 64))$((n / 8 % 8))$((n % 8))"
  done
  # shellcheck disable=SC2059
  printf "$escapes" > "$out"
  chmod +x "$out"
}

ELF64_HEADER="7f 45 4c 46 02 01 01 00 00 00 00 00 00 00 00 00
  02 00 3e 00 01 00 00 00  78 00 40 00 00 00 00 00  40 00 00 00 00 00 00 00
  00 00 00 00 00 00 00 00  00 00 00 00 40 00 38 00  01 00 00 00 00 00 00 00"
# One loadable segment at 0x400000 holding the whole file; $1 = file size.
elf64_segment() {
  echo "01 00 00 00 05 00 00 00  00 00 00 00 00 00 00 00  00 00 40 00 00 00 00 00
        00 00 40 00 00 00 00 00  $1 00 00 00 00 00 00 00  $1 00 00 00 00 00 00 00
        00 10 00 00 00 00 00 00"
}

# mov eax,60; mov edi,42; syscall
CONTROL_CODE="b8 3c 00 00 00 bf 2a 00 00 00 0f 05"
# jmp far [0x40007f], where 0x40007f holds 0x23:0x400085; then, in 32-bit
# mode at 0x400085: mov eax,1; mov ebx,42; int 0x80; hlt. (A far jump through
# memory, not a far return: QEMU 7.2's emulation pops a far return's stack
# with supervisor rights, which faults under SMAP even where 32-bit code runs.)
FAR_JUMP_CODE="ff 2c 25 7f 00 40 00  85 00 40 00 23 00  b8 01 00 00 00 bb 2a 00 00 00 cd 80 f4"
# ELF32 header, one segment at 0x08048000, entry 0x08048054:
# mov eax,1; mov ebx,42; int 0x80
I386_PROGRAM="7f 45 4c 46 01 01 01 00 00 00 00 00 00 00 00 00
  02 00 03 00 01 00 00 00 54 80 04 08 34 00 00 00 00 00 00 00 00 00 00 00
  34 00 20 00 01 00 00 00 00 00 00 00
  01 00 00 00 00 00 00 00 00 80 04 08 00 80 04 08 60 00 00 00 60 00 00 00 05 00 00 00 00 10 00 00
  b8 01 00 00 00 bb 2a 00 00 00 cd 80"

# Runs a probe program; true when it ended with 42. Output is dropped, and
# "timeout" ends a probe that would hang under a broken emulator.
ran_to_42() {
  timeout 2 "$1" </dev/null >/dev/null 2>&1
  [ $? -eq 42 ]
}

make_probes_in() {
  dir="$1"
  write_bytes "$dir/control" $ELF64_HEADER $(elf64_segment 84) $CONTROL_CODE
  write_bytes "$dir/far_jump" $ELF64_HEADER $(elf64_segment 92) $FAR_JUMP_CODE
  write_bytes "$dir/i386" $I386_PROGRAM
}

if [ "${1:-}" = "--write" ] && [ -n "${2:-}" ]; then
  make_probes_in "$2"
  exit 0
fi

# Take the first folder in which the plain 64-bit control program runs.
here="$(cd "$(dirname "$0")/.." && pwd)"
dir=""
for parent in "${TMPDIR:-/tmp}" "$here" "${HOME:-/root}"; do
  candidate="$(mktemp -d "$parent/ia32-probe.XXXXXX" 2>/dev/null)" || continue
  make_probes_in "$candidate"
  if ran_to_42 "$candidate/control"; then dir="$candidate"; break; fi
  rm -rf "$candidate"
done
if [ -z "$dir" ]; then
  echo "ia32 probe: no folder here lets a program run (every one is noexec?), so 32-bit x86 support is unknown"
  exit 1
fi
trap 'rm -rf "$dir"' EXIT

if ! ran_to_42 "$dir/i386"; then
  echo "this machine cannot run 32-bit x86 programs: the kernel refuses i386 executables (IA-32 emulation off, as 'dmesg | grep -i ia-32' tells), so Wine cannot start the 32-bit installer; use a machine whose kernel runs i386 programs, or tools/ia32-guest.sh to run the 32-bit suites in an emulated guest"
  exit 1
fi
if ! ran_to_42 "$dir/far_jump"; then
  echo "this machine cannot run 32-bit x86 code: i386 programs start (an emulator in binfmt_misc?) but a switch to the 32-bit code segment faults, so Wine's 32-bit loader cannot run; use a machine whose kernel runs i386 programs, or tools/ia32-guest.sh to run the 32-bit suites in an emulated guest"
  exit 1
fi
exit 0
