#!/bin/sh
# Prints the path of a working CPython X.Y on this machine (python X.Y on
# PATH, else one installed by pyenv), or nothing; exit status 1 when absent.
#   find-python.sh X.Y
set -eu
version=$1
pyenv_root=${PYENV_ROOT:-$HOME/.pyenv}
for candidate in $(command -v "python$version" || true) "$pyenv_root"/versions/"$version".*/bin/python"$version"; do
    if [ -x "$candidate" ] && "$candidate" -c 'import sys; sys.exit(0)' 2>/dev/null; then
        echo "$candidate"
        exit 0
    fi
done
exit 1
