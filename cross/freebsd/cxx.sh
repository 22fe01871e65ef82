#!/bin/sh
# The C++ compiler and linker for FreeBSD 14.3 amd64: zig's clang and lld,
# run by the command in ZIG (see stage.sh, which writes the wrapper that sets
# it). A shared object it links is branded FreeBSD (EI_OSABI 9) as FreeBSD's
# own toolchain brands it: there lld takes the OS/ABI byte from the first
# object, while zig's driver passes lld a plain emulation that writes 0, and
# refuses the emulation option that would say FreeBSD.
#   ZIG=COMMAND cxx.sh CLANG_ARGUMENTS...
set -eu
: "${ZIG:?ZIG must name the zig command}"
out=""
shared=no
previous=""
for arg in "$@"; do
    case $arg in
    -shared) shared=yes ;;
    esac
    if [ "$previous" = "-o" ]; then out=$arg; fi
    previous=$arg
done
$ZIG c++ -target x86_64-freebsd.14.3 "$@"
if [ "$shared" = yes ] && [ -n "$out" ]; then
    # e_ident: 0x7f 'E' 'L' 'F', class, data, version, then OS/ABI at offset 7.
    if [ "$(od -An -tx1 -N8 "$out" | tr -d ' \n')" = "7f454c4602010100" ]; then
        printf '\011' | dd of="$out" bs=1 seek=7 count=1 conv=notrunc 2>/dev/null
    fi
fi
