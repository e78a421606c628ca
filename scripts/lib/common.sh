# Shared by scripts/test, scripts/demo and scripts/package: install what is
# missing, build.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
cd "$ROOT"

APT_UPDATED=0

# apt_quietly ARG...: runs apt-get ARG... as root (through sudo when needed)
# with its output in a log, shown only when it fails. Debconf draws its
# "Extracting templates" progress whenever stderr is a terminal, whatever
# the flags, so stderr goes to the log too.
apt_quietly() {
    local sudo="" log status=0
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    log="$(mktemp "${TMPDIR:-/tmp}/pelago-apt.XXXXXX")"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get "$@" </dev/null >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "apt-get $* failed (exit status $status); its output:" >&2
        cat "$log" >&2
    fi
    rm -f "$log"
    return "$status"
}

# ensure_packages PKG...: installs the Debian packages that are not installed
# yet, saying so in one line: INSTALL_NOTE names them for a reader, else the
# package names are shown.
ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing ${INSTALL_NOTE:-${missing[*]}} ..."
    if [ "$APT_UPDATED" -eq 0 ]; then
        apt_quietly update -q
        APT_UPDATED=1
    fi
    apt_quietly install -y -q --no-install-recommends "${missing[@]}"
}

# Every package a CMake configure error names (as "install PKG") is
# installed by one of these functions; the package test checks it.
ensure_build_tools() {
    INSTALL_NOTE="build tools (first run only, about a minute)" \
        ensure_packages cmake ninja-build g++ libgtest-dev libgmock-dev libstb-dev
}

# The save tests set a POSIX ACL (setfacl) and run the tool as an ordinary
# user (setpriv, from util-linux, is always there).
ensure_test_tools() {
    ensure_packages acl
}

# build_preset NAME [extra cmake args...]: configure and build one preset.
build_preset() {
    local preset="$1"
    shift
    cmake --preset "$preset" "$@" >/dev/null
    cmake --build --preset "$preset"
}

# build_targets PRESET TARGET...: configure PRESET quietly, then build only
# TARGETs, showing the build's own progress lines ([n/N] per unit; one line
# redrawn in place on a terminal), so a first build is seen moving.
build_targets() {
    local preset="$1"
    shift
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" --target "$@"
}

# Device link: the mingw-w64 cross compiler for the Windows program.
ensure_cross_tools() {
    ensure_packages g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
}

# check_windows_exe PATH: fails unless PATH is an x86-64 Windows executable.
check_windows_exe() {
    # Read whole before matching: under pipefail, grep -q leaving the pipe
    # early could fail objdump with SIGPIPE.
    local header
    header="$(x86_64-w64-mingw32-objdump -f "$1")"
    grep -q 'file format pei-x86-64' <<<"$header" || {
        echo "$1 is not a Windows x86-64 executable" >&2
        return 1
    }
    echo "built $1"
}

# Wine runs the Windows program in the tests (64-bit only, no desktop extras).
ensure_wine() {
    ensure_cross_tools
    ensure_packages wine wine64
}

# Packaging: dpkg-dev for dpkg-shlibdeps, `file` with which CPack picks the
# binaries to hand it, and what the package tests read man pages and zips
# and judge the Debian package with.
ensure_package_tools() {
    ensure_packages dpkg-dev file groff-base man-db unzip lintian desktop-file-utils
}

# make_package BUILD_DIR DEST: the packages BUILD_DIR's CPack config makes, in DEST.
# Quiet unless cpack fails.
make_package() {
    local log
    log="$(mktemp)"
    if ! cpack --config "$1/CPackConfig.cmake" -B "$2" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        return 1
    fi
    rm -rf "$log" "$2/_CPack_Packages"
}

# The web page: Debian's emscripten for the wasm preset, rsvg-convert for
# its PNG icons, and the browser tests' three engines: Chromium with its
# WebDriver, Firefox (driven over WebDriver BiDi), WebKitGTK's WebDriver
# under a virtual display, Selenium.
ensure_web_tools() {
    INSTALL_NOTE="the web page's tools (emscripten, chromium, firefox, webkit; first run only)" \
        ensure_packages emscripten libstb-dev librsvg2-bin chromium chromium-driver firefox-esr webkit2gtk-driver xvfb xauth \
        python3-selenium python3-websockets
}

# axe-core, the accessibility checker the browser tests run over the page, at
# one pinned version from npm into the git-ignored build-web-tools/.
AXE_CORE_VERSION=4.14.1
ensure_axe_core() {
    local installed=build-web-tools/node_modules/axe-core/package.json
    grep -q "\"version\": \"$AXE_CORE_VERSION\"" "$installed" 2>/dev/null && return 0
    command -v npm >/dev/null || ensure_packages npm
    echo "Fetching axe-core $AXE_CORE_VERSION ..."
    npm install --prefix build-web-tools --no-audit --no-fund --no-save --silent "axe-core@$AXE_CORE_VERSION"
}

# The web page's static site in build-wasm/web/ (extra cmake args allowed).
build_web() {
    build_preset wasm "$@"
}

# The kernel's link protection, on as Debian ships it (systemd's
# protect-links.conf) but off in some containers: the save-rules tests show
# that the tool leaves following a planted link to the kernel's judgement.
# It is machine-wide, so a run turns it on only for itself:
# link_protection_on records what it found, and link_protection_restore
# (call it from an EXIT trap) puts that back if this run changed it.
LINK_KNOB=/proc/sys/fs/protected_symlinks
LINK_PROTECTION_WAS=""
link_protection_on() {
    local was
    was="$(cat "$LINK_KNOB" 2>/dev/null)" || was=""
    [ "$was" = 1 ] && return 0
    if [ "$(id -u)" -eq 0 ] && { echo 1 >"$LINK_KNOB"; } 2>/dev/null; then
        LINK_PROTECTION_WAS="$was"
        echo "note: fs.protected_symlinks turned on for this run (it was $was); it is restored at the end"
    else
        echo "note: fs.protected_symlinks is off and only root may turn it on, so the planted-link tests will be skipped"
    fi
}
link_protection_restore() {
    [ -n "$LINK_PROTECTION_WAS" ] || return 0
    if { echo "$LINK_PROTECTION_WAS" >"$LINK_KNOB"; } 2>/dev/null; then
        echo "note: fs.protected_symlinks restored to $LINK_PROTECTION_WAS"
    else
        echo "warning: could not restore fs.protected_symlinks to $LINK_PROTECTION_WAS" >&2
    fi
    LINK_PROTECTION_WAS=""
}
