# Sourced: the cache outside the clone that a fresh clone (CI) on the same machine reuses.
# QUENDA_CACHE chooses it (default /var/cache/quenda as root, ~/.cache/quenda otherwise).
#
# An entry is a folder whose name carries the hash of its recipe and inputs. It is made under a lock
# of its own (a second run waits, then finds it made), built in a temporary folder beside it and
# renamed into place only after its recipe, whose last step checks the product, succeeded: a folder
# with that name is always complete. What a killed run left is removed when the lock is next taken.

quenda_cache_dir() {
    if [ -n "${QUENDA_CACHE:-}" ]; then
        echo "$QUENDA_CACHE"
    elif [ "$(id -u)" -eq 0 ]; then
        echo /var/cache/quenda
    else
        echo "${XDG_CACHE_HOME:-$HOME/.cache}/quenda"
    fi
}

# quenda_cache_entry DIR COMMAND...: prints DIR, first running "COMMAND... OUT WORK" where DIR is
# missing. COMMAND runs as a process of its own, so a script's set -e holds in it even when the
# caller tests this function's status (bash ignores -e in a tested function and its subshells).
# It builds into OUT (which it creates) and may use WORK, which goes afterwards.
quenda_cache_entry() {
    local dir=$1 fd rc=0 tmp start
    shift
    [ -d "$dir" ] && { echo "$dir"; return 0; }
    mkdir -p "${dir%/*}" || return 1
    exec {fd}>>"$dir.lock" || return 1
    if ! flock -n "$fd"; then
        echo "cache: another run is making $dir; waiting for it" >&2
        flock "$fd" || { exec {fd}>&-; return 1; }
    fi
    if [ ! -d "$dir" ]; then
        # Nobody else holds the lock, so nobody is making these any more.
        rm -rf "$dir".tmp.*
        tmp=$(mktemp -d "$dir.tmp.XXXXXX") || { exec {fd}>&-; return 1; }
        chmod 755 "$tmp"
        start=$SECONDS
        echo "cache: making $dir" >&2
        "$@" "$tmp/out" "$tmp/work" || rc=$?
        if [ "$rc" -eq 0 ] && [ ! -d "$tmp/out" ]; then
            echo "cache: the recipe for $dir made nothing" >&2; rc=1
        fi
        if [ "$rc" -eq 0 ]; then
            mv -T "$tmp/out" "$dir" || rc=$?
        fi
        rm -rf "$tmp"
        if [ "$rc" -eq 0 ]; then
            echo "cache: $dir ready in $((SECONDS - start)) s" >&2
        else
            echo "cache: making $dir failed (exit $rc); nothing was kept" >&2
        fi
    fi
    exec {fd}>&-
    [ "$rc" -eq 0 ] && echo "$dir"
    return "$rc"
}

# A short hash of everything on stdin: the cache key.
quenda_cache_key() { sha256sum | cut -c1-16; }
