#!/bin/sh
# A Debian sid root for the interpreters and compilers Debian 12 lacks
# (CPython 3.14 with its debug build, 3.15, the newest GCC and clang). It is
# made with debootstrap from the Debian archive this machine's apt uses, the
# first time it is needed, and reused afterwards: a later run only installs
# the packages the list below gained. It lives outside the repository, so
# `make clean` keeps it:
#   ${NORVIK_SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/norvik/sid-root}
#
#   sid-root.sh path            prints where the root is (made or not)
#   sid-root.sh ensure          makes or refreshes the root
#   sid-root.sh run CMD ARG...  runs CMD in the root, in the repository (bound
#                               at the same path as here), as root
#   sid-root.sh remove          deletes the root, once nothing is mounted in it
# /proc, /sys, /dev, /dev/pts, /dev/shm and the repository are bound into the
# root for the command and unbound when it ends, however it ends.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
root=${NORVIK_SID_ROOT:-${XDG_CACHE_HOME:-$HOME/.cache}/norvik/sid-root}
# What the builds and the tests need there, as on the host (tools/ensure-deps.sh
# and the Makefile's lists), with the interpreters that are the reason for it.
packages="ca-certificates g++ clang cmake ninja-build make pkg-config libgtest-dev
procps iproute2 util-linux libjemalloc2 git
python3.14 python3.14-dev python3.14-venv python3.14-dbg
python3.15 python3.15-dev python3.15-venv"
# The Python test tools, in one venv per interpreter inside the root.
pypi_packages="pytest hypothesis mypy==1.20.2"

say() { echo "[sid-root] $*" >&2; }

# The Debian archive of this machine's apt sources (deb822 or one-line form).
mirror() {
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        sed -n -e 's/^URIs:[[:space:]]*//p' -e 's/^deb[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]\{1,\}\)\{0,1\}\([^[:space:]]*\).*/\2/p' "$f" \
            | tr ' ' '\n' | grep -E '^[a-z]+://[^ ]*/debian/?$' || true
    done | head -n 1
}

mounted=""
unmount_all() {
    # What the command mounted inside (ip netns binds /run/netns and each
    # namespace), deepest first; then ours, most recent first: /dev/pts lies
    # inside /dev.
    for m in $(awk -v r="$root/" 'index($5, r) == 1 { print $5 }' /proc/self/mountinfo | LC_ALL=C sort -r); do
        case " $mounted " in *" $m "*) continue ;; esac
        umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || say "could not unmount $m"
    done
    for m in $mounted; do
        umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || say "could not unmount $m"
    done
    mounted=""
}
bind() {
    mkdir -p "$2"
    mount --bind "$1" "$2"
    mounted="$2 $mounted"
}
mount_all() {
    trap 'unmount_all' EXIT
    trap 'unmount_all; exit 130' INT
    trap 'unmount_all; exit 143' TERM HUP
    for d in /proc /sys /dev /dev/pts /dev/shm; do
        # A mount left by a run that was killed outright is reused, not stacked.
        if mountpoint -q "$root$d"; then umount -l "$root$d"; fi
        bind "$d" "$root$d"
    done
    if mountpoint -q "$root$here"; then umount -l "$root$here"; fi
    bind "$here" "$root$here"
    # A git worktree keeps its repository elsewhere: git ls-files needs it.
    git_dir=$(git -C "$here" rev-parse --path-format=absolute --git-common-dir 2>/dev/null || true)
    case $git_dir in
    "" | "$here"/*) ;;
    *)
        if mountpoint -q "$root$git_dir"; then umount -l "$root$git_dir"; fi
        bind "$git_dir" "$root$git_dir"
        ;;
    esac
    # Name resolution, and the certificates pip is told to trust here (a
    # proxy's own authority, say), which the root's store lacks.
    cp -L /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
    host_cert=${PIP_CERT:-$(sed -n 's/^cert[[:space:]]*=[[:space:]]*//p' /etc/pip.conf 2>/dev/null | head -n 1)}
    root_cert=""
    if [ -n "$host_cert" ] && [ -f "$host_cert" ]; then
        mkdir -p "$root/etc/norvik"
        cp -L "$host_cert" "$root/etc/norvik/pip-cert.pem"
        root_cert=/etc/norvik/pip-cert.pem
    fi
}

in_root() {
    # Only what the builds and the tests need passes into the root.
    set -- chroot "$root" "$@"
    [ -z "${PIP_DEFAULT_TIMEOUT:-}" ] || set -- "PIP_DEFAULT_TIMEOUT=$PIP_DEFAULT_TIMEOUT" "$@"
    [ -z "${PIP_INDEX_URL:-}" ] || set -- "PIP_INDEX_URL=$PIP_INDEX_URL" "$@"
    [ -z "${root_cert:-}" ] || set -- "PIP_CERT=$root_cert" "$@"
    [ -z "${NORVIK_SID_ONLY:-}" ] || set -- "NORVIK_SID_ONLY=$NORVIK_SID_ONLY" "$@"
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive TERM=dumb "$@" 9>&-
}

missing_packages() {
    # shellcheck disable=SC2086
    in_root dpkg-query -W -f '${db:Status-Abbrev} ${Package}\n' $packages 2>/dev/null \
        | awk '$1 == "ii" { print $2 }' >"$root/.norvik-have" || true
    for p in $packages; do
        grep -qx "$p" "$root/.norvik-have" || printf '%s ' "$p"
    done
}

ensure() {
    if [ ! -x "$root/usr/bin/apt-get" ]; then
        command -v debootstrap >/dev/null 2>&1 || {
            say "installing debootstrap"
            DEBIAN_FRONTEND=noninteractive apt-get update -qq
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
        }
        archive=$(mirror)
        [ -n "$archive" ] || { say "no Debian archive in this machine's apt sources"; exit 1; }
        say "making $root from $archive (sid, minbase)"
        rm -rf "$root.new"
        mkdir -p "$(dirname "$root")"
        debootstrap --variant=minbase sid "$root.new" "$archive" >"$root.debootstrap.log" 2>&1 \
            || { tail -20 "$root.debootstrap.log" >&2; say "debootstrap failed (log: $root.debootstrap.log)"; exit 1; }
        rm -rf "$root"
        mv "$root.new" "$root"
    fi
    mount_all
    # The archive this machine reaches may serve a sid whose Release file is
    # past its Valid-Until date: its packages are still the ones wanted.
    echo 'Acquire::Check-Valid-Until "false";' >"$root/etc/apt/apt.conf.d/99norvik"
    need=$(missing_packages)
    if [ -n "$need" ]; then
        say "installing: $need"
        # shellcheck disable=SC2086
        in_root sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends $need" \
            >"$root.apt.log" 2>&1 || {
            # A package sid no longer (or not yet) has is named, and the rest installed.
            say "apt could not install all of them (log: $root.apt.log); trying one by one"
            for p in $need; do
                in_root apt-get install -y -qq --no-install-recommends "$p" >>"$root.apt.log" 2>&1 \
                    || say "not to be had in sid: $p"
            done
        }
    fi
    for exe in python3.14 python3.14d python3.15; do
        [ -x "$root/usr/bin/$exe" ] || continue
        venv=/opt/norvik/venv-$exe
        if [ ! -x "$root$venv/bin/python" ]; then
            in_root "/usr/bin/$exe" -m venv "$venv" >>"$root.apt.log" 2>&1 \
                || { say "$exe: no venv (log: $root.apt.log)"; continue; }
        fi
        # shellcheck disable=SC2086
        if ! in_root "$venv/bin/python" -c 'import importlib.metadata as m, sys
sys.exit(any(m.version(n) is None for n in ("pytest", "hypothesis")) or m.version("mypy") != "1.20.2")' 2>/dev/null; then
            say "$exe: installing $pypi_packages from PyPI"
            in_root "$venv/bin/python" -m pip install -q --disable-pip-version-check $pypi_packages >>"$root.apt.log" 2>&1 \
                || say "$exe: pip could not install the test tools (log: $root.apt.log)"
        fi
    done
    unmount_all
}

# One run at a time: a second one waits, so that the mounts it finds in place
# are only ever those a killed run left behind.
lock() {
    mkdir -p "$(dirname "$root")"
    exec 9>"$root.lock"
    flock 9
}

case ${1:-} in
path) echo "$root" ;;
remove)
    # Never rm -rf through a mount: /dev, /proc or the repository would go with it.
    lock
    unmount_all
    if awk -v r="$root/" 'index($5, r) == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo; then
        say "$root still has mounts; not removed"
        exit 1
    fi
    rm -rf --one-file-system "$root" "$root.new" "$root.debootstrap.log" "$root.apt.log"
    say "removed $root"
    ;;
ensure)
    lock
    ensure
    ;;
run)
    shift
    [ -x "$root/usr/bin/apt-get" ] || { say "no root at $root (sid-root.sh ensure makes it)"; exit 1; }
    lock
    mount_all
    status=0
    in_root sh -c 'cd "$1" && shift && exec "$@"' sh "$here" "$@" || status=$?
    unmount_all
    exit "$status"
    ;;
*)
    echo "usage: sid-root.sh path|ensure|run CMD...|remove" >&2
    exit 2
    ;;
esac
