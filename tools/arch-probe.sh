# arch-probe.sh -- sourced by setup.sh and build-env.sh: whether this machine
# runs 32-bit x86 programs, asked of the kernel itself, so that the answer is
# the same before and after Wine is installed.

# kernel_runs_32bit: true when the kernel starts a 32-bit ELF program. The
# probe is the smallest such program (one exit(0) system call), written from
# its bytes, so nothing has to be installed to ask. A kernel with its 32-bit
# emulation switched off (ia32_emulation=off) refuses it ("Exec format
# error"); an emulator registered with binfmt_misc for 32-bit ELF programs
# (qemu-user) would run it, but far too slowly for Wine, so an enabled entry
# for 32-bit ELF counts as "no" as well.
kernel_runs_32bit() {
  local entry probe status
  if [ "$(cat /proc/sys/fs/binfmt_misc/status 2>/dev/null)" = enabled ]; then
    for entry in /proc/sys/fs/binfmt_misc/*; do
      case "${entry##*/}" in register | status) continue ;; esac
      # magic 7f454c4601...: ELF, 32-bit class.
      if head -n 1 "$entry" 2>/dev/null | grep -qx enabled &&
        grep -q '^magic 7f454c4601' "$entry" 2>/dev/null; then
        return 1
      fi
    done
  fi
  probe="$(mktemp "${TMPDIR:-/tmp}/tarvune-elf32.XXXXXX")" || return 1
  # ELF header, one PT_LOAD program header, then: mov eax,1; xor ebx,ebx; int 0x80
  printf '%b' \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08' \
    '\x00\x80\x04\x08\x5d\x00\x00\x00\x5d\x00\x00\x00\x05\x00\x00\x00' \
    '\x00\x10\x00\x00\xb8\x01\x00\x00\x00\x31\xdb\xcd\x80' >"$probe"
  chmod +x "$probe"
  status=0
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  [ "$status" -eq 0 ]
}
