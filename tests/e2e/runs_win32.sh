#!/bin/bash
# Tells whether this machine can run sfx.exe under Wine: 32-bit x86 programs and Wine's 32-bit part.
# Exit 0 if it does; otherwise prints why not and exits 1. Some virtual machines have
# no 32-bit mode at all: there the kernel refuses every 32-bit program ("Exec format
# error"), and the stub's tests under Wine cannot run.
loader=/lib/ld-linux.so.2
if [ ! -e "$loader" ]; then
  echo "no 32-bit C library ($loader, Debian's libc6:i386)"
  exit 1
fi
if ! out=$("$loader" --version 2>&1); then
  echo "this machine does not run 32-bit programs ($loader: ${out##*: })"
  exit 1
fi
# Debian splits Wine in two: wine64 alone cannot start a 32-bit program.
if [ -x /usr/lib/wine/wine64 ] && [ ! -x /usr/lib/wine/wine ]; then
  echo "Wine's 32-bit part is not installed (Debian's wine32:i386)"
  exit 1
fi
exit 0
