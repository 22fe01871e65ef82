#!/bin/sh
# make freebsd: CMakeLists.txt's FreeBSD branch, the one `pip install .` takes
# on FreeBSD, built for FreeBSD 14.3 amd64 with the toolchain file here in the
# Release configuration pip uses, every warning an error. Then the checks a
# FreeBSD build can have without a FreeBSD machine: the module defines
# exactly the names of src/exports.map, needs FreeBSD's libraries, and the
# stand-in's layout checks hold under FreeBSD's own headers.
#   build.sh OUT   (PYTHON: the interpreter whose headers the module is for)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
PYTHON=${PYTHON:-python3}
export PYTHON
interp=$("$PYTHON" -c 'import sys; print(sys.executable)')
cd "$root"

sh "$here/stage.sh" "$out/stage"
generator=""
if command -v ninja >/dev/null 2>&1 && [ ! -f "$out/cmake/CMakeCache.txt" ]; then generator="-G Ninja"; fi
cmake -S . -B "$out/cmake" $generator --toolchain "$here/toolchain.cmake" -DNORVIK_FREEBSD_STAGE="$out/stage" \
    -DPython3_EXECUTABLE="$interp" -DCMAKE_BUILD_TYPE=Release -DNORVIK_WERROR=ON >"$out/configure.log" \
    || { cat "$out/configure.log" >&2; echo "[freebsd] configuring the FreeBSD build failed" >&2; exit 1; }
cmake --build "$out/cmake" -j 2 >"$out/build.log" 2>&1 \
    || { cat "$out/build.log" >&2; echo "[freebsd] the module does not build for FreeBSD 14.3 (above; every warning is an error)" >&2; exit 1; }
module=$out/cmake/release/_norvik_bsd.so

# The defined dynamic symbols must be exactly the export list's names.
sed -n 's/^[[:space:]]*\([A-Za-z_][A-Za-z0-9_]*\);.*/\1/p' src/exports.map | LC_ALL=C sort >"$out/exports.want"
"$PYTHON" tools/elfinfo.py exports "$module" | LC_ALL=C sort >"$out/exports.have"
if ! cmp -s "$out/exports.want" "$out/exports.have"; then
    echo "[freebsd] $module exports differ from src/exports.map (< wanted, > found):" >&2
    diff "$out/exports.want" "$out/exports.have" >&2
    exit 1
fi
needed=$("$PYTHON" tools/elfinfo.py needed "$module")
for lib in libc.so.7 libutil.so.9 libkvm.so.7 libdevstat.so.7; do
    echo "$needed" | grep -qx "$lib" || { echo "[freebsd] $module does not name $lib as needed" >&2; exit 1; }
done

# The stand-in's sizes and offsets, asserted again under FreeBSD's headers.
sh "$here/layout_check.sh" "$root" "$out/layout_check.cpp"
"$out/stage/bin/c++" -std=c++20 -Wall -Wextra -Werror -isystem "$here/include" -c "$out/layout_check.cpp" \
    -o "$out/layout_check.o" \
    || { echo "[freebsd] the stand-in's layouts disagree with FreeBSD 14.3's (errors above)" >&2; exit 1; }

sources=$(find src -name '*.cpp' | wc -l | tr -d ' ')
echo "[freebsd] ${module#"$root"/} for x86_64-freebsd.14.3: $sources sources," \
    "exports checked: $(tr '\n' ' ' <"$out/exports.have" | sed 's/ $//; s/ /, /g');" \
    "$(grep -c '^static_assert' "$out/layout_check.cpp") layout checks agree"
