#!/usr/bin/env bash
# Makes sure 32-bit x86 programs can run: natively where the kernel has
# IA-32 emulation, otherwise through qemu user-mode emulation registered
# with binfmt_misc (needs root). Idempotent.
set -euo pipefail

probe=$(mktemp -d /tmp/i386probe.XXXXXX)
trap 'rm -rf "$probe"' EXIT
printf 'int main(void){return 0;}\n' >"$probe/p.c"
gcc -m32 -o "$probe/p" "$probe/p.c"
if "$probe/p" 2>/dev/null; then
  exit 0
fi

echo "i386: the kernel does not run 32-bit programs; registering qemu-i386 user-mode emulation"
if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
fi
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  # F: the interpreter is opened now, so it works inside mount namespaces;
  # C: credentials come from the program, so set-user-ID tests behave.
  printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:FC' \
    >/proc/sys/fs/binfmt_misc/register
else
  echo 1 >/proc/sys/fs/binfmt_misc/qemu-i386
fi
"$probe/p"
