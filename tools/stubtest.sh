#!/bin/sh
# Checks the typed interface stubs/_norvik_bsd.pyi:
# - mypy's stubtest against the built release module (names, kinds, constant
#   values); any difference fails;
# - mypy on the stub and on a typed usage sample, for the oldest and the
#   newest Python the module supports, so that a stub mypy cannot read, or one
#   that stopped refusing a wrong call, fails too.
#   stubtest.sh BUILD_DIR
set -eu
build=$1
PYTHON=${PYTHON:-python3}
# mypy keeps its cache in the build, not in the source tree.
config="$build/mypy.ini"
printf '[mypy]\ncache_dir = %s\n' "$build/mypy-cache" >"$config"
echo "[stubtest] stubs/_norvik_bsd.pyi against $build/release"
PYTHONPATH="$build/release" MYPYPATH=stubs "$PYTHON" -m mypy.stubtest _norvik_bsd \
    --mypy-config-file "$config"
for version in 3.9 3.13; do
    MYPYPATH=stubs "$PYTHON" -m mypy --config-file "$config" --strict \
        --warn-unused-ignores --python-version "$version" stubs/_norvik_bsd.pyi tests/typing/usage.py
done
