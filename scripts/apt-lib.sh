# Sourced by every script that calls apt (setup.sh, qemu-user.sh, setup-arm64.sh). What the release
# offers decides the packages; a mirror in the middle of a sync does not stop the set-up where apt can
# still answer, and where it cannot, one line says so.
#
#   quenda_release                 sets QUENDA_OS_ID and QUENDA_CODENAME from /etc/os-release
#   quenda_apt_update              apt-get update, retried; goes on with the lists it has
#   quenda_apt_install PKG...      apt-get install, once more with -t <codename> on version skew
#   quenda_apt_get WHAT ARG...     another apt-get call (download, source), failures explained
#   quenda_llvm_candidate          the newest LLVM whose clang, lld, llvm and runtimes the release has
#   quenda_llvm_version            the LLVM the build uses (the release's, where installed)
#   quenda_repo_uri SUITE          the system's mirror for one suite of the release
#   quenda_private_apt DIR ARCH LINE...  an apt configuration of its own (APT_CONFIG=DIR/apt.conf)
# QUENDA_APT_TRIES (3) and QUENDA_APT_PAUSE (10 s) set the update's retries.

quenda_release() {
    QUENDA_OS_ID=$(. /etc/os-release && echo "${ID:-}")
    QUENDA_CODENAME=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    if [ -z "$QUENDA_CODENAME" ]; then
        echo "apt-lib: /etc/os-release names no VERSION_CODENAME" >&2
        return 1
    fi
}

# Another apt or dpkg run (an unattended upgrade, a second set-up) holds the lock: wait for it.
QUENDA_APT_OPTS=(-o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)

# The system's apt needs root; a private configuration (APT_CONFIG) does not.
quenda_sudo() {
    if [ -z "${APT_CONFIG:-}" ] && [ "$(id -u)" -ne 0 ]; then sudo "$@"; else "$@"; fi
}

quenda_apt_log() { echo "${QUENDA_APT_WHO:-setup}: $*" >&2; }

# The indexes one apt-get update run could not fetch, from its Err: lines ("URI SUITE/COMP ARCH TYPE").
quenda_apt_failed_indexes() {
    sed -nE 's/^Err:[0-9]+ +(.*[^ ]) *$/\1/p' "$1" | sort -u
}

quenda_apt_update() {
    local tries=${QUENDA_APT_TRIES:-3} pause=${QUENDA_APT_PAUSE:-10} try=1 rc log waited=0
    log=$(mktemp)
    while :; do
        rc=0
        quenda_sudo apt-get "${QUENDA_APT_OPTS[@]}" update -q >"$log" 2>&1 || rc=$?
        if [ "$rc" -eq 0 ] && ! grep -qE '^(Err:|[WE]: Failed to fetch)' "$log"; then
            rm -f "$log"; return 0
        fi
        # apt-get update does not wait for the lists' lock (DPkg::Lock::Timeout is dpkg's): another
        # apt run holds it, so wait for that run as long as an install would, without counting a try.
        if grep -q '^E: Could not get lock' "$log" && [ "$waited" -lt 600 ]; then
            [ "$waited" -gt 0 ] || quenda_apt_log "waiting for another apt run: $(grep -m1 '^E: Could not get lock' "$log" | sed 's/^E: //')"
            sleep 5
            waited=$((waited + 5))
            continue
        fi
        [ "$try" -lt "$tries" ] || break
        quenda_apt_log "apt-get update failed (try $try of $tries); again in $pause s"
        sleep "$pause"
        try=$((try + 1))
    done
    # A lock that was never freed or a broken configuration is not a mirror's state: stop there.
    if grep -qE '^E: (Could not get lock|Malformed|Conflicting|The value|Type .* is not known|Invalid)' "$log"; then
        cat "$log" >&2; rm -f "$log"; return "$rc"
    fi
    local failed
    failed=$(quenda_apt_failed_indexes "$log")
    grep -E '^(Err:|  |[WE]: )' "$log" | grep -vE '^  +[0-9]+ (B|kB|MB)' >&2 || true
    if [ -n "$failed" ]; then
        quenda_apt_log "apt-get update could not fetch, after $tries tries: $(paste -sd';' <<<"$failed" | sed 's/;/; /g')"
    else
        quenda_apt_log "apt-get update failed after $tries tries (exit $rc): $(grep -E '^[WE]: ' "$log" | head -n1)"
    fi
    quenda_apt_log "going on with the package lists apt already has"
    rm -f "$log"
    return 0
}

# The release's base suite is consistent across architectures; a suite being updated can hold a
# Multi-Arch: same library at a new version for amd64 and the old one for i386 for a while.
quenda_apt_install() {
    # apt's output is shown as it comes and kept for the verdict; its own status decides, whatever
    # the caller's set -e and pipefail (local -: the options come back on return).
    local -
    set +e
    quenda_release || return 1
    local log rc=0
    log=$(mktemp)
    quenda_sudo env DEBIAN_FRONTEND=noninteractive apt-get "${QUENDA_APT_OPTS[@]}" install -y -q \
        --no-install-recommends "$@" 2>&1 | tee "$log" >&2
    rc=${PIPESTATUS[0]}
    if [ "$rc" -ne 0 ] && quenda_apt_missing_package "$log"; then
        rm -f "$log"; return "$rc"
    fi
    if [ "$rc" -ne 0 ] && grep -qE 'held broken packages|unmet dependencies|Unmet dependencies' "$log"; then
        quenda_apt_log "the architectures' package versions disagree (the mirror is mid-update);" \
            "trying once more from the release's base suite (-t $QUENDA_CODENAME)"
        rc=0
        quenda_sudo env DEBIAN_FRONTEND=noninteractive apt-get "${QUENDA_APT_OPTS[@]}" install -y -q \
            --no-install-recommends -t "$QUENDA_CODENAME" "$@" 2>&1 | tee "$log" >&2
        rc=${PIPESTATUS[0]}
    fi
    if [ "$rc" -ne 0 ]; then
        quenda_apt_missing_package "$log" || quenda_apt_archive_fault "installing packages" "$log"
    fi
    rm -f "$log"
    return "$rc"
}

# quenda_apt_get WHAT ARG...: any other apt-get call (download, source) with the same verdicts.
quenda_apt_get() {
    local -
    set +e
    local what=$1 log rc=0
    shift
    log=$(mktemp)
    apt-get "${QUENDA_APT_OPTS[@]}" "$@" 2>&1 | tee "$log" >&2
    rc=${PIPESTATUS[0]}
    if [ "$rc" -ne 0 ]; then
        quenda_apt_missing_package "$log" || quenda_apt_archive_fault "$what" "$log"
    fi
    rm -f "$log"
    return "$rc"
}

# A package the release does not have is the project's error, never the archive's: say so plainly.
quenda_apt_missing_package() {
    grep -qE "Unable to locate package|has no installation candidate|Couldn't find any package|No packages found|Can not find version|Can't find a source" "$1" || return 1
    quenda_apt_log "$(grep -m1 -E "Unable to locate|no installation candidate|Couldn't find|No packages found|Can not find version|Can't find a source" "$1" | sed 's/^E: //'):" \
        "this release does not offer it"
}

# The one line for a failure that is the archive's state: what failed, whose fault, what to try.
quenda_apt_archive_fault() {
    local what=$1 log=$2 cause
    cause=$(grep -m1 -E '^E: ' "$log" | sed 's/^E: //')
    quenda_apt_log "FAILED $what${cause:+ ($cause)}: this is the Debian archive's current state," \
        "not the project; wait and run again, or pick another mirror in /etc/apt/sources.list.d"
}

# The newest LLVM N for which the release's base suite has clang-N, lld-N, llvm-N and
# libclang-rt-N-dev (the libFuzzer and sanitizer runtimes). Names alone are not enough: apt knows
# names that only some package mentions. Toolchains that only the security suite carries (Debian 12
# got LLVM 22 there for Firefox's builds) follow that browser's needs and change without a point
# release, so they do not count.
#
# Capped at QUENDA_LLVM_NEWEST (19): LLVM 22's libc++ (in Debian 13's main since a point release)
# calls _iswctype_l, which mingw-w64 12's headers declare only for the UCRT, and the DLL links the
# old msvcrt.dll; no LLVM 20 or 21 is packaged in between.
QUENDA_LLVM_NEWEST=${QUENDA_LLVM_NEWEST:-19}
quenda_llvm_candidate() {
    local n p ok
    quenda_release || return 1
    for n in $(apt-cache pkgnames clang- 2>/dev/null | sed -nE 's/^clang-([0-9]+)$/\1/p' | sort -rn); do
        [ "$n" -le "$QUENDA_LLVM_NEWEST" ] || continue
        ok=1
        for p in "clang-$n" "lld-$n" "llvm-$n" "libclang-rt-$n-dev"; do
            apt-cache madison "$p" 2>/dev/null | grep -qE " $QUENDA_CODENAME/main " || { ok=0; break; }
        done
        if [ "$ok" -eq 1 ]; then echo "$n"; return 0; fi
    done
    return 1
}

# The LLVM the build uses: the release's (as above) where it is installed, else the newest installed
# with clang and lld. scripts/test.sh exports it as QUENDA_LLVM_VERSION for the toolchain files.
quenda_llvm_version() {
    local n
    n=$(quenda_llvm_candidate 2>/dev/null || true)
    if [ -n "$n" ] && [ -x "/usr/lib/llvm-$n/bin/clang" ] && [ -x "/usr/lib/llvm-$n/bin/ld.lld" ]; then
        echo "$n"
    else
        quenda_llvm_installed
    fi
}

# The system's mirror for SUITE (e.g. bookworm, trixie-security), from the sources apt reads
# (deb822 or one-line), so a machine with a local mirror or proxy uses it.
quenda_repo_uri() {
    apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
        awk -v s="$1" '$2 == s { print $1; exit }'
}

# quenda_private_apt DIR ARCH LINE...: only these sources, an empty dpkg status, own lists and
# cache; the system's apt set-up stays untouched. apt-get checks every file it fetches against the
# InRelease index signed by Debian's archive keys. Then updates (retried, like the system's).
quenda_private_apt() {
    local dir=$1 arch=$2
    shift 2
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/parts" || return 1
    : >"$dir/status"
    printf '%s\n' "$@" >"$dir/sources.list"
    cat >"$dir/apt.conf" <<EOF
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
Dir::State "$dir";
Dir::State::Lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir";
Dir::Cache::archives "$dir/archives";
Dir::Etc::SourceList "$dir/sources.list";
Dir::Etc::SourceParts "$dir/parts";
Dir::Etc::PreferencesParts "$dir/parts";
APT::Sandbox::User "root";
Acquire::Languages "none";
DPkg::Lock::Timeout "600";
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
EOF
    APT_CONFIG=$dir/apt.conf quenda_apt_update
}

# The newest LLVM installed with both clang and lld (what the toolchain files pick too).
quenda_llvm_installed() {
    local d n
    for d in /usr/lib/llvm-*/bin/ld.lld; do
        n=${d#/usr/lib/llvm-}; n=${n%%/*}
        [ -x "/usr/lib/llvm-$n/bin/clang" ] && echo "$n"
    done | sort -rn | head -n1
}
