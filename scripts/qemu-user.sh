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
# QUENDA_CACHE chooses the cache (default /var/cache/quenda as root, ~/.cache/quenda otherwise).

quenda_cache_dir() {
    if [ -n "${QUENDA_CACHE:-}" ]; then
        echo "$QUENDA_CACHE"
    elif [ "$(id -u)" -eq 0 ]; then
        echo /var/cache/quenda
    else
        echo "${XDG_CACHE_HOME:-$HOME/.cache}/quenda"
    fi
}

# bookworm's own qemu-user-static (7.2) ignores MAP_FIXED_NOREPLACE, which turns Wine's address-space
# reservation into tens of thousands of small probes: a minute per process start. 10.0.2 has it.
QUENDA_QEMU_VERSION=10.0.2
QUENDA_QEMU_SUITE=bookworm-backports

# Unpacks the qemu-user package (the static build in backports) whole into $1, which must not
# exist yet. The download is checked by apt against the archive's signed index.
quenda_qemu_fetch() {
    local dest=$1 work mirror version deb
    work=$(mktemp -d "$(dirname "$dest")/.fetch.XXXXXX") || return 1
    chmod 755 "$work"
    # The system's own mirror for the release, so a machine with a local mirror or proxy uses it.
    mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' |
             awk '$2 == "bookworm" { print $1; exit }')
    if [ -z "$mirror" ]; then
        echo "qemu-user.sh: no bookworm source in apt's configuration to take the mirror from" >&2
        rm -rf "$work"; return 1
    fi
    mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/parts" "$work/download"
    : >"$work/status"
    echo "deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg]" \
         "$mirror $QUENDA_QEMU_SUITE main" >"$work/sources.list"
    # Only this list, this state and this cache; the system's own apt set-up stays untouched.
    cat >"$work/apt.conf" <<EOF
Dir::State "$work";
Dir::State::lists "$work/lists";
Dir::State::status "$work/status";
Dir::Cache "$work";
Dir::Cache::archives "$work/archives";
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "$work/parts";
Dir::Etc::PreferencesParts "$work/parts";
APT::Architecture "amd64";
APT::Architectures { "amd64"; };
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
EOF
    # apt downloads as _apt where that user exists; it needs to write where the files land.
    if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then
        chown -R _apt "$work/lists" "$work/archives" "$work/download"
    fi
    local -x APT_CONFIG=$work/apt.conf
    if ! apt-get update -q >"$work/update.log" 2>&1; then
        cat "$work/update.log" >&2; rm -rf "$work"; return 1
    fi
    version=$(apt-cache madison qemu-user |
              awk -v v="$QUENDA_QEMU_VERSION" '{ split($3, a, ":"); if (index(a[2], v "+") == 1 || index(a[2], v "-") == 1) { print $3; exit } }')
    if [ -z "$version" ]; then
        echo "qemu-user.sh: qemu-user $QUENDA_QEMU_VERSION is not in $QUENDA_QEMU_SUITE; the archive has:" >&2
        apt-cache madison qemu-user >&2
        rm -rf "$work"; return 1
    fi
    if ! (cd "$work/download" && apt-get download -q "qemu-user=$version" >"$work/download.log" 2>&1); then
        cat "$work/download.log" >&2; rm -rf "$work"; return 1
    fi
    deb=$(echo "$work"/download/qemu-user_*.deb)
    if ! dpkg-deb -x "$deb" "$work/unpacked"; then
        rm -rf "$work"; return 1
    fi
    echo "$version" >"$work/unpacked/.quenda-qemu-version"
    mv "$work/unpacked" "$dest" && rm -rf "$work"
}

# Keyed by the upstream version and the fetch recipe itself: a changed recipe fetches anew.
quenda_qemu_dir() {
    local key
    key=$(declare -f quenda_qemu_fetch | cat - <(echo "$QUENDA_QEMU_VERSION $QUENDA_QEMU_SUITE") |
          sha256sum | cut -c1-12)
    echo "$(quenda_cache_dir)/qemu-user-$QUENDA_QEMU_VERSION-$key"
}

# The path of one qemu binary (qemu-i386, qemu-aarch64, ...), fetching the package on first use.
quenda_qemu_binary() {
    local name=$1 dir cache
    dir=$(quenda_qemu_dir)
    if [ ! -d "$dir" ]; then
        cache=$(quenda_cache_dir)
        mkdir -p "$cache"
        # One fetch at a time: a second run on the machine waits and then finds it done.
        (
            flock 9
            if [ ! -d "$dir" ]; then
                echo "fetching qemu-user $QUENDA_QEMU_VERSION from $QUENDA_QEMU_SUITE into $dir" >&2
                quenda_qemu_fetch "$dir"
            fi
        ) 9>"$cache/.lock" || return 1
    fi
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
    local dir=$1 qemu=$2
    mkdir -p "$dir/usr/lib/wine" "$dir/usr/share" "$dir/usr/lib/i386-linux-gnu" "$dir/bin"
    cp /usr/lib/wine/wine "$dir/usr/lib/wine/wine.new"
    mv "$dir/usr/lib/wine/wine.new" "$dir/usr/lib/wine/wine"
    ln -sfn /usr/lib/wine/wineserver "$dir/usr/lib/wine/wineserver"
    ln -sfn /usr/share/wine "$dir/usr/share/wine"
    ln -sfn /usr/lib/i386-linux-gnu/wine "$dir/usr/lib/i386-linux-gnu/wine"
    printf '#!/bin/sh\nexport WINELOADERNOEXEC=1\nexec "%s" "$@"\n' "$qemu" >"$dir/usr/lib/wine/wine-preloader"
    # The command the scripts run, like /usr/lib/wine/wine.
    printf '#!/bin/sh\nexec "%s/usr/lib/wine/wine-preloader" "%s/usr/lib/wine/wine" "$@"\n' \
        "$dir" "$dir" >"$dir/bin/wine"
    chmod 755 "$dir/usr/lib/wine/wine-preloader" "$dir/bin/wine"
}

quenda_wine32_qemu_dir() {
    local key
    key=$(declare -f quenda_wine32_qemu_make | cat - <(quenda_qemu_dir) | sha256sum | cut -c1-12)
    echo "$(quenda_cache_dir)/wine32-qemu-$key"
}

# Prints the folder, making it (and fetching qemu) where it is missing or its loader copy is
# older than the installed Wine's.
quenda_wine32_qemu() {
    local dir qemu
    dir=$(quenda_wine32_qemu_dir)
    qemu=$(quenda_qemu_binary qemu-i386) || return 1
    if ! cmp -s /usr/lib/wine/wine "$dir/usr/lib/wine/wine" || [ ! -x "$dir/bin/wine" ]; then
        quenda_wine32_qemu_make "$dir" "$qemu"
    fi
    # The loader answers --version itself only without WINELOADERNOEXEC.
    if ! "$qemu" "$dir/usr/lib/wine/wine" --version >/dev/null 2>&1; then
        echo "qemu-user.sh: 32-bit Wine does not start under $qemu" >&2
        return 1
    fi
    echo "$dir"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    case ${1:-} in
        binary) quenda_qemu_binary "${2:?which binary, e.g. qemu-i386}" ;;
        wine32) quenda_wine32_qemu ;;
        *) echo "usage: $0 binary NAME | wine32" >&2; exit 2 ;;
    esac
fi
