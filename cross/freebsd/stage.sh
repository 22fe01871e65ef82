#!/bin/sh
# Prepares what the FreeBSD toolchain file (toolchain.cmake) builds with, in
# STAGE:
#   bin/c++         the compiler: zig 0.15.2 (PyPI) through cxx.sh
#   python-include  the interpreter's C headers, fit for FreeBSD
#   lib/            libkvm and libdevstat, which zig does not ship: empty
#                   stand-ins with FreeBSD's sonames, so that the module's
#                   needed list names them (their symbols stay unresolved
#                   until FreeBSD's loader finds the real ones)
# The headers are those of PYTHON (default python3): the module built with
# them is for that CPython version.
#   stage.sh STAGE
set -eu
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$1"
stage=$(cd "$1" && pwd)
# By its full path: the compiler wrapper must find the same interpreter (and
# zig) whatever PATH the build that runs it has.
PYTHON=$("${PYTHON:-python3}" -c 'import sys; print(sys.executable)')
export PYTHON
zig=$(sh "$here/zig.sh")
mkdir -p "$stage/bin" "$stage/lib"
{
    echo "#!/bin/sh"
    echo "# Written by cross/freebsd/stage.sh: zig's C++ compiler for FreeBSD 14.3 amd64."
    echo "ZIG='$zig' exec sh '$here/cxx.sh' \"\$@\""
} >"$stage/bin/c++.tmp"
chmod +x "$stage/bin/c++.tmp"
# Files left as they were when their content is, so that a build over this
# stage does not recompile for nothing.
replace() {
    if diff -r -q "$1" "$2" >/dev/null 2>&1; then rm -rf "$1"; else rm -rf "$2" && mv "$1" "$2"; fi
}
replace "$stage/bin/c++.tmp" "$stage/bin/c++"
rm -rf "$stage/new"
sh "$here/python_headers.sh" "$stage/new"
replace "$stage/new/python-include" "$stage/python-include"
rm -rf "$stage/new"
: >"$stage/lib/empty.cpp"
for name in kvm devstat; do
    [ "$stage/lib/lib$name.so" -nt "$stage/bin/c++" ] && continue
    "$stage/bin/c++" -shared -fPIC -nostdlib++ -o "$stage/lib/lib$name.so" -Wl,-soname,lib$name.so.7 "$stage/lib/empty.cpp"
done
# The Python version the headers are for, read by the toolchain file.
"$PYTHON" -c 'import sys; print("%d.%d" % sys.version_info[:2])' >"$stage/python-version"
