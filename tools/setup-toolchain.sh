#!/usr/bin/env bash
# Installs CPython 3.14 (release, debug build and headers) from Debian's unstable suite.
# Idempotent: on a machine that already has everything it checks and exits in seconds.
set -euo pipefail

PACKAGES=(python3.14-dev python3.14-venv python3.14-dbg python3-pip-whl python3-setuptools-whl)
SOURCES=/etc/apt/sources.list.d/corvane-sid.sources
PREFS=/etc/apt/preferences.d/corvane-sid

die() { echo "setup-toolchain: error: $*" >&2; exit 1; }
say() { echo "setup-toolchain: $*"; }

ready() {
    command -v python3.14 >/dev/null && command -v python3.14d >/dev/null || return 1
    [ -f "$(python3.14 -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ] || return 1
    python3.14 -c 'import ensurepip, venv' 2>/dev/null || return 1
    local pkg
    for pkg in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || return 1
    done
}

if ready; then
    say "python3.14 and python3.14d are installed; nothing to do"
    exit 0
fi

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || die "installing packages needs root (or sudo)"
    SUDO=(sudo)
fi

# The Debian entry the machine already uses: its URI and keyring, read from the deb822
# sources or from the one-line list.
find_debian_entry() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [ -f "$f" ] || continue
        [ "$f" = "$SOURCES" ] && continue
        awk '
            BEGIN { RS=""; FS="\n" }
            {
                uri=""; key=""; suites=""
                for (i = 1; i <= NF; i++) {
                    if ($i ~ /^URIs:/)      { uri=$i;    sub(/^URIs:[ \t]*/, "", uri); sub(/[ \t].*$/, "", uri) }
                    if ($i ~ /^Signed-By:/) { key=$i;    sub(/^Signed-By:[ \t]*/, "", key) }
                    if ($i ~ /^Suites:/)    { suites=$i }
                }
                if (uri != "" && suites !~ /security/ && uri ~ /\/debian\/?$/) { print uri "\t" key; exit }
            }' "$f" && return 0
    done
    if [ -f /etc/apt/sources.list ]; then
        awk '
            $1 == "deb" && $0 !~ /security/ {
                key=""; uri=""
                for (i = 2; i <= NF; i++) {
                    if ($i ~ /^\[/) { for (; i <= NF; i++) { if ($i ~ /signed-by=/) { key=$i; sub(/.*signed-by=/, "", key); sub(/\]$/, "", key) } if ($i ~ /\]$/) break } continue }
                    uri=$i; break
                }
                if (uri ~ /\/debian\/?$/) { print uri "\t" key; exit }
            }' /etc/apt/sources.list
    fi
}

if [ ! -f "$SOURCES" ]; then
    entry=$(find_debian_entry | head -n 1)
    [ -n "$entry" ] || die "could not find the machine's Debian apt entry (URI and keyring) in /etc/apt/sources.list{,.d}"
    uri=${entry%%$'\t'*}
    key=${entry#*$'\t'}
    [ -n "$key" ] || key=/usr/share/keyrings/debian-archive-keyring.gpg
    say "adding the unstable suite from $uri (keyring $key), pinned at priority 100"
    printf 'Types: deb\nURIs: %s\nSuites: sid\nComponents: main\nSigned-By: %s\n' "$uri" "$key" \
        | "${SUDO[@]}" tee "$SOURCES" >/dev/null
fi
if [ ! -f "$PREFS" ]; then
    printf 'Package: *\nPin: release n=sid\nPin-Priority: 100\n' | "${SUDO[@]}" tee "$PREFS" >/dev/null
fi

say "updating package lists"
"${SUDO[@]}" apt-get -o Acquire::Check-Valid-Until=false update \
    || die "apt-get update failed"

install() {
    DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get install -y -t sid \
        -o Dpkg::Options::=--force-overwrite "${PACKAGES[@]}"
}
say "installing ${PACKAGES[*]}"
if ! install; then
    say "first pass stopped half-way; repairing and trying again"
    DEBIAN_FRONTEND=noninteractive "${SUDO[@]}" apt-get -f install -y -o Dpkg::Options::=--force-overwrite \
        || die "apt-get -f install failed"
    install || die "installing ${PACKAGES[*]} from the unstable suite failed"
fi

ready || die "packages installed, but python3.14/python3.14d, its headers or venv are still not usable"
say "done: $(python3.14 --version), $(python3.14d --version)"
