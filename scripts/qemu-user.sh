#!/usr/bin/env bash
# qemu user mode for machines whose kernel cannot execute some architecture's programs, and the
# 32-bit Wine that runs under it. Nothing is installed system-wide and no binfmt handler is
# registered: the package is unpacked into a cache outside the clone, so that a fresh clone (CI)
# on the same machine reuses it.
#
#   scripts/qemu-user.sh binary qemu-i386   prints the path of a qemu binary, fetching the package once
#   scripts/qemu-user.sh wine32             prints the folder of the 32-bit Wine under qemu, making it once
#
# Sourced, it only defines the functions (scripts/wine-env.sh looks the folders up without fetching).
# QUENDA_CACHE chooses the cache (scripts/cache-lib.sh).

QUENDA_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$QUENDA_SCRIPTS/apt-lib.sh"
source "$QUENDA_SCRIPTS/cache-lib.sh"

# Debian 12's own qemu-user (7.2) ignores MAP_FIXED_NOREPLACE, which turns Wine's address-space
# reservation into tens of thousands of small probes: a minute per process start. 10.0.2 has it.
# Any 10.x from 10.0.2 on will do; the release's own suites come first (Debian 13 has 10.0 in
# main), its backports only where they have none (Debian 12).
QUENDA_QEMU_MIN=10.0.2
QUENDA_QEMU_BELOW=11

# The qemu-user version to take from a private apt's lists: the newest acceptable one of the
# release's own suites, else of its backports.
quenda_qemu_pick() {
    apt-cache madison qemu-user | awk -F' *[|] *' -v bp="$QUENDA_CODENAME-backports/" '
        { print ((index($3, bp) > 0) ? 1 : 0), $2 }' | while read -r backports version; do
        if dpkg --compare-versions "${version#*:}" ge "$QUENDA_QEMU_MIN" &&
           dpkg --compare-versions "${version#*:}" lt "$QUENDA_QEMU_BELOW"; then
            echo "$backports $version"
        fi
    done | sort -k1,1n -k2,2Vr | awk 'NR == 1 { print $2 }'
}

# Unpacks the qemu-user package (the static build since Debian 12's backports) whole into $1; $2 is
# scratch. Run as its own process (quenda_cache_entry): every failing step stops it.
quenda_qemu_fetch() {
    local dest=$1 work=$2 mirror security version deb
    quenda_release
    # The system's own mirror for the release, so a machine with a local mirror or proxy uses it.
    mirror=$(quenda_repo_uri "$QUENDA_CODENAME")
    security=$(quenda_repo_uri "$QUENDA_CODENAME-security")
    if [ -z "$mirror" ]; then
        echo "qemu-user.sh: no $QUENDA_CODENAME source in apt's configuration to take the mirror from" >&2
        return 1
    fi
    local key=/usr/share/keyrings/debian-archive-keyring.gpg lines=()
    lines+=("deb [arch=amd64 signed-by=$key] $mirror $QUENDA_CODENAME main")
    lines+=("deb [arch=amd64 signed-by=$key] $mirror $QUENDA_CODENAME-updates main")
    lines+=("deb [arch=amd64 signed-by=$key] $mirror $QUENDA_CODENAME-backports main")
    [ -z "$security" ] || lines+=("deb [arch=amd64 signed-by=$key] $security $QUENDA_CODENAME-security main")
    mkdir -p "$work/download"
    QUENDA_APT_WHO=qemu-user.sh quenda_private_apt "$work/apt" amd64 "${lines[@]}"
    local -x APT_CONFIG=$work/apt/apt.conf
    version=$(quenda_qemu_pick)
    if [ -z "$version" ]; then
        echo "qemu-user.sh: no qemu-user $QUENDA_QEMU_MIN or later (below $QUENDA_QEMU_BELOW) in $QUENDA_CODENAME or its backports; apt offers:" >&2
        apt-cache madison qemu-user >&2
        return 1
    fi
    echo "qemu-user.sh: qemu-user $version" >&2
    (cd "$work/download" && QUENDA_APT_WHO=qemu-user.sh quenda_apt_get "downloading qemu-user" download -q "qemu-user=$version")
    deb=$(echo "$work"/download/qemu-user_*.deb)
    dpkg-deb -x "$deb" "$dest"
    echo "$version" >"$dest/.quenda-qemu-version"
    # The product: the emulators the scripts use start and are the version fetched.
    local upstream=${version#*:} answer
    upstream=${upstream%%[+~-]*}
    for answer in "$("$dest/usr/bin/qemu-i386" --version)" "$("$dest/usr/bin/qemu-aarch64" --version)"; do
        [[ $answer == *"version $upstream "* ]] || { echo "qemu-user.sh: unexpected: $answer" >&2; return 1; }
    done
}

# Keyed by the release, the accepted versions and the fetch recipe itself: a changed recipe fetches
# anew. The version taken is recorded inside (.quenda-qemu-version).
quenda_qemu_dir() {
    local key
    quenda_release || return 1
    key=$({ declare -f quenda_qemu_fetch quenda_qemu_pick quenda_private_apt
            echo "$QUENDA_OS_ID $QUENDA_CODENAME $QUENDA_QEMU_MIN $QUENDA_QEMU_BELOW"; } | quenda_cache_key)
    echo "$(quenda_cache_dir)/qemu-user-$QUENDA_CODENAME-$key"
}

# The path of one qemu binary (qemu-i386, qemu-aarch64, ...), fetching the package on first use.
quenda_qemu_binary() {
    local name=$1 dir
    dir=$(quenda_cache_entry "$(quenda_qemu_dir)" "$QUENDA_SCRIPTS/qemu-user.sh" fetch-into) || return 1
    if [ ! -x "$dir/usr/bin/$name" ]; then
        echo "qemu-user.sh: $dir has no usr/bin/$name" >&2
        return 1
    fi
    echo "$dir/usr/bin/$name"
}

# Makes the folder that lets 32-bit Wine run under qemu-i386 ($1 the folder, $2 qemu-i386).
# Wine takes its own folder from /proc/self/exe (qemu answers with the emulated program) and starts
# every new process as "<folder>/wine-preloader <folder>/wine ARGS", so a copy of the loader (a
# symlink would resolve to /usr/lib/wine) with a wine-preloader beside it that runs qemu puts every
# child process under qemu too. WINELOADERNOEXEC keeps the loader from re-executing itself.
# Wine finds its server, data and DLLs relative to that folder: symlinks to the system's.
quenda_wine32_qemu_make() {
    local dir=$1 qemu
    qemu=$(quenda_qemu_binary qemu-i386)
    mkdir -p "$dir/usr/lib/wine" "$dir/usr/share" "$dir/usr/lib/i386-linux-gnu" "$dir/bin"
    cp /usr/lib/wine/wine "$dir/usr/lib/wine/wine"
    ln -sfn /usr/lib/wine/wineserver "$dir/usr/lib/wine/wineserver"
    ln -sfn /usr/share/wine "$dir/usr/share/wine"
    ln -sfn /usr/lib/i386-linux-gnu/wine "$dir/usr/lib/i386-linux-gnu/wine"
    printf '#!/bin/sh\nexport WINELOADERNOEXEC=1\nexec "%s" "$@"\n' "$qemu" >"$dir/usr/lib/wine/wine-preloader"
    # The command the scripts run, like /usr/lib/wine/wine. The folder is found from the script's
    # own place: the entry is made under a temporary name and renamed.
    printf '#!/bin/sh\nd=$(cd "$(dirname "$0")/.." && pwd)\nexec "$d/usr/lib/wine/wine-preloader" "$d/usr/lib/wine/wine" "$@"\n' \
        >"$dir/bin/wine"
    chmod 755 "$dir/usr/lib/wine/wine-preloader" "$dir/bin/wine"
    # The product: the loader answers --version under qemu (only without WINELOADERNOEXEC).
    "$qemu" "$dir/usr/lib/wine/wine" --version >/dev/null
}

# Keyed by the recipe, the qemu entry and the installed loader: a Wine update makes a new entry.
quenda_wine32_qemu_dir() {
    local key
    key=$({ declare -f quenda_wine32_qemu_make; quenda_qemu_dir; sha256sum </usr/lib/wine/wine; } | quenda_cache_key)
    echo "$(quenda_cache_dir)/wine32-qemu-$key"
}

# Prints the folder, making it (and fetching qemu) the first time.
quenda_wine32_qemu() {
    quenda_cache_entry "$(quenda_wine32_qemu_dir)" "$QUENDA_SCRIPTS/qemu-user.sh" wine32-into
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    case ${1:-} in
        binary) quenda_qemu_binary "${2:?which binary, e.g. qemu-i386}" ;;
        wine32) quenda_wine32_qemu ;;
        # The recipes of the cache entries (quenda_cache_entry runs them with OUT and WORK).
        fetch-into) quenda_qemu_fetch "$2" "$3" ;;
        wine32-into) quenda_wine32_qemu_make "$2" ;;
        *) echo "usage: $0 binary NAME | wine32" >&2; exit 2 ;;
    esac
fi
