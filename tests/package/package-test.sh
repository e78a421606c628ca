#!/usr/bin/env bash
# Checks what a user installs: the man pages, the Debian package, the
# Windows zip, the web zip and cmake --install, each made afresh from a
# build tree into a scratch directory. PAGE is the one-file web page both
# packages ship.
#   package-test.sh manpages PELAGO_EXE SIM_EXE DOC_DIR
#   package-test.sh deb BUILD_DIR PELAGO_EXE PAGE
#   package-test.sh zip WINDOWS_BUILD_DIR PELAGO_EXE PAGE
#   package-test.sh web WASM_BUILD_DIR PAGE_SOURCE_DIR
#   package-test.sh install BUILD_DIR PAGE
#   package-test.sh packages SOURCE_DIR
# make_package, as scripts/package makes the packages.
source "$(dirname "$0")/../../scripts/lib/common.sh"
set -Eeuo pipefail
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR
export LC_ALL=C  # byte order for sorted lists, plain ASCII from groff

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The web page is built by another preset; without it the package checks
# have nothing to check, which only CI counts as a failure.
SKIP_STATUS=77
require_page() {
    [ -f "$1" ] && return 0
    [ "${CI:-}" = true ] && fail "$1 is not built (cmake --preset wasm && cmake --build --preset wasm)"
    echo "skipped: $1 is not built (cmake --preset wasm && cmake --build --preset wasm)"
    exit "$SKIP_STATUS"
}

same_file() {
    cmp -s "$1" "$2" || fail "$1 differs from the build's $2"
}

SCRATCH="$(mktemp -d)"
SIM_PID=""
stop_adapter() {
    if [ -n "$SIM_PID" ]; then
        kill "$SIM_PID" 2>/dev/null || true
        wait "$SIM_PID" 2>/dev/null || true
        SIM_PID=""
    fi
}
trap 'stop_adapter; rm -rf "$SCRATCH"' EXIT

# The program's help text; -h ends with status 1 by design.
program_help() {
    "$1" -h || [ $? -eq 1 ]
}

# The option lines of the program's help text, without their indent.
help_options() {
    program_help "$1" | sed -n '/^Options:$/,/^$/p' | sed '1d;$d;s/^  //'
}

# The version the program's help text states.
help_version() {
    program_help "$1" | sed -n 's/.*Firmware Updater \([0-9.]*\)$/\1/p'
}

# Plain text of a man page, unhyphenated, one paragraph per long line.
render() {
    groff -man -Tascii -P-cbou -rHY=0 -rLL=250n "$1"
}


check_manpages() {
    local exe="$1" sim="$2" doc="$3" page warnings
    for page in "$doc/PelagoXcon.1" "$doc/pelagoxcon-virtual-adapter.1" "$doc/pelagoxcon-page.1" \
                "$doc/pelagoxcon-focus.1" "$doc/pelagoxcon-virtual-camera.1"; do
        warnings="$(groff -man -ww -z "$page" 2>&1)" || fail "groff failed on $page"
        [ -z "$warnings" ] || fail "groff warns on $page: $warnings"
        warnings="$(man --warnings -l "$page" 2>&1 >/dev/null)" || fail "man failed on $page"
        [ -z "$warnings" ] || fail "man warns on $page: $warnings"
    done

    # The tool's page lists exactly the options -h lists, in the same order.
    diff <(help_options "$exe" | sed -n 's/^\(-., --[a-z]*\).*/\1/p') \
         <(render "$doc/PelagoXcon.1" | sed -n 's/^ *\(-., --[a-z]*\).*/\1/p') ||
        fail "PelagoXcon.1 and -h list different options"

    # The virtual adapter's page names every option its --help names.
    local option rendered
    rendered="$(render "$doc/pelagoxcon-virtual-adapter.1")"
    for option in $("$sim" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        grep -q -e "$option\\b" <<<"$rendered" || fail "pelagoxcon-virtual-adapter.1 lacks $option"
    done
    # So do the focus assistant's and the virtual camera's, built beside the tool.
    local program page
    for program in pelagoxcon-focus:pelagoxcon-focus.1 camera-sim:pelagoxcon-virtual-camera.1; do
        page="${program#*:}"
        rendered="$(render "$doc/$page")"
        for option in $("$(dirname "$exe")/${program%%:*}" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
            grep -q -e "$option\\b" <<<"$rendered" || fail "$page lacks $option"
        done
    done
}

expect_field() {
    local actual
    actual="$(dpkg-deb -f "$1" "$2")"
    [ "$actual" = "$3" ] || fail "$2 is '$actual', expected '$3'"
}

check_deb() {
    local build="$1" exe="$2" page="$3" deb
    require_page "$page"
    make_package "$build" "$SCRATCH/out" || fail "cpack failed for $build"
    deb="$(echo "$SCRATCH"/out/pelagoxcon_*.deb)"
    [ -f "$deb" ] || fail "no pelagoxcon_*.deb made"

    expect_field "$deb" Package pelagoxcon
    # The upstream version is the program's; the whole one, revision
    # included, the changelog's latest entry.
    local version
    version="$(dpkg-deb -f "$deb" Version)"
    [ "${version%-*}" = "$(help_version "$exe")" ] || fail "Version $version is not of $(help_version "$exe")"
    expect_field "$deb" Architecture "$(dpkg --print-architecture)"
    expect_field "$deb" Section utils
    # Read whole before matching: under pipefail, grep -q leaving a pipe
    # early would fail the writer with SIGPIPE now and then.
    local maintainer summary
    maintainer="$(dpkg-deb -f "$deb" Maintainer)"
    summary="$(dpkg-deb -f "$deb" Description | sed -n 1p)"
    grep -q '<.*@.*>' <<<"$maintainer" || fail "Maintainer has no address"
    grep -q 'Quorvane' <<<"$summary" || fail "Description does not say what it is for"
    # Found by dpkg-shlibdeps from the binaries, not written by hand.
    local depends
    depends="$(dpkg-deb -f "$deb" Depends)"
    for lib in libc6 libstdc++6; do
        grep -q "$lib (>= " <<<"$depends" || fail "Depends lacks $lib: '$depends'"
    done

    diff <(printf '%s\n' \
            '-rwxr-xr-x ./usr/bin/PelagoXcon' \
            '-rwxr-xr-x ./usr/bin/pelagoxcon-focus' \
            '-rwxr-xr-x ./usr/bin/pelagoxcon-page' \
            '-rwxr-xr-x ./usr/bin/pelagoxcon-virtual-adapter' \
            '-rwxr-xr-x ./usr/bin/pelagoxcon-virtual-camera' \
            '-rw-r--r-- ./usr/share/applications/pelagoxcon.desktop' \
            '-rw-r--r-- ./usr/share/doc/pelagoxcon/README' \
            '-rw-r--r-- ./usr/share/doc/pelagoxcon/changelog.Debian.gz' \
            '-rw-r--r-- ./usr/share/doc/pelagoxcon/copyright' \
            '-rw-r--r-- ./usr/share/icons/hicolor/scalable/apps/pelagoxcon.svg' \
            '-rw-r--r-- ./usr/share/lintian/overrides/pelagoxcon' \
            '-rw-r--r-- ./usr/share/man/man1/PelagoXcon.1.gz' \
            '-rw-r--r-- ./usr/share/man/man1/pelagoxcon-focus.1.gz' \
            '-rw-r--r-- ./usr/share/man/man1/pelagoxcon-page.1.gz' \
            '-rw-r--r-- ./usr/share/man/man1/pelagoxcon-virtual-adapter.1.gz' \
            '-rw-r--r-- ./usr/share/man/man1/pelagoxcon-virtual-camera.1.gz' \
            '-rw-r--r-- ./usr/share/pelagoxcon/PelagoXcon.html' \
            '-rw-r--r-- ./usr/share/pelagoxcon/samples/lenses.dat') \
         <(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $1, $6 }' | sort -k2) ||
        fail "the package holds other files than the programs, the web page and their documents"
    expect_field "$deb" Recommends xdg-utils

    # Neither an error nor a warning from Debian's own checker. (It also
    # advises against running as root, which the tests may well do.)
    local verdict lintian_status=0
    verdict="$(lintian --fail-on error,warning "$deb" 2>&1)" || lintian_status=$?
    verdict="$(grep -v 'running with root privileges' <<<"$verdict" || true)"
    [ "$lintian_status" -eq 0 ] || fail "lintian finds errors or warnings: $verdict"
    [ -z "$verdict" ] || echo "$verdict"

    # The packaged program runs from where it was unpacked and says what the built one says.
    dpkg -x "$deb" "$SCRATCH/root"
    local doc="$SCRATCH/root/usr/share/doc/pelagoxcon"
    [ "$(dpkg-parsechangelog -l "$doc/changelog.Debian.gz" -S Version)" = "$version" ] ||
        fail "the changelog's latest entry is not for $version"
    check_installed_readme "$doc/README" "$SCRATCH/root"
    local status=0
    "$SCRATCH/root/usr/bin/PelagoXcon" -h >"$SCRATCH/help.txt" 2>"$SCRATCH/help.err" || status=$?
    [ "$status" -eq 1 ] || fail "packaged PelagoXcon -h exited $status, expected 1"
    [ ! -s "$SCRATCH/help.err" ] || fail "packaged PelagoXcon -h wrote to stderr"
    diff <(program_help "$exe") "$SCRATCH/help.txt" || fail "packaged PelagoXcon -h differs from the built one"
    check_tool_meets_adapter "$SCRATCH/root/usr/bin"
    check_page_in_menu "$SCRATCH/root" "$page"
}

# The desktop's menu entry runs the launcher, which opens the installed page
# with xdg-open (a stand-in here that records what it was asked to open).
check_page_in_menu() {
    local root="$1" page="$2" entry="$1/usr/share/applications/pelagoxcon.desktop" warnings
    same_file "$root/usr/share/pelagoxcon/PelagoXcon.html" "$page"
    warnings="$(desktop-file-validate "$entry" 2>&1)" || fail "desktop-file-validate: $warnings"
    [ -z "$warnings" ] || fail "desktop-file-validate warns: $warnings"
    local key value
    while IFS='=' read -r key value; do
        [ "$(sed -n "s/^$key=//p" "$entry")" = "$value" ] || fail "the desktop entry's $key is not $value"
    done <<<$'Name=PelagoXcon\nExec=pelagoxcon-page\nCategories=Graphics;Photography;\nIcon=pelagoxcon'
    [ -f "$root/usr/share/icons/hicolor/scalable/apps/pelagoxcon.svg" ] || fail "no icon in the hicolor theme"

    check_launcher "$root/usr"
}

# The launcher opens the page under its own prefix PREFIX, wherever that is.
check_launcher() {
    mkdir -p "$SCRATCH/stand-in"
    printf '#!/bin/sh\nprintf "%%s\\n" "$@" >"%s"\n' "$SCRATCH/opened" >"$SCRATCH/stand-in/xdg-open"
    chmod +x "$SCRATCH/stand-in/xdg-open"
    PATH="$SCRATCH/stand-in:$PATH" "$1/bin/pelagoxcon-page" || fail "pelagoxcon-page exited $?"
    [ "$(cat "$SCRATCH/opened")" = "$1/share/pelagoxcon/PelagoXcon.html" ] ||
        fail "pelagoxcon-page opened '$(cat "$SCRATCH/opened")', not the page installed beside it"
}

# cmake --install into a prefix of the user's: the tool, the virtual adapter
# and their man pages always; the page and its launcher only when built.
check_install() {
    local build="$1" page="$2" prefix="$SCRATCH/install/usr" file
    cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"
    for file in bin/PelagoXcon bin/pelagoxcon-virtual-adapter share/man/man1/PelagoXcon.1.gz \
                share/man/man1/pelagoxcon-virtual-adapter.1.gz; do
        [ -f "$prefix/$file" ] || fail "cmake --install left out $file"
    done
    check_installed_readme "$prefix/share/doc/pelagoxcon/README" "$SCRATCH/install"
    if [ ! -f "$page" ]; then
        [ ! -e "$prefix/bin/pelagoxcon-page" ] || fail "a launcher was installed without a page"
        return
    fi
    same_file "$prefix/share/pelagoxcon/PelagoXcon.html" "$page"
    check_launcher "$prefix"
}

# The installed README speaks of what an installed user has: the installed
# names and the samples where they are, no build tree or scripts.
check_installed_readme() {
    local readme="$1" root="$2" text named
    text="$(cat "$readme")"
    ! grep -n -e 'build/' -e 'scripts/' -e 'adapter-sim' -e 'README\.md' <<<"$text" ||
        fail "the installed README speaks of the source tree"
    grep -q 'pelagoxcon-virtual-adapter' <<<"$text" || fail "the installed README does not name the virtual adapter"
    grep -q '/usr/share/pelagoxcon/samples/lenses.dat' <<<"$text" && [ -f "$root/usr/share/pelagoxcon/samples/lenses.dat" ] ||
        fail "the installed README does not show where the sample is"
    # The page, its launcher and its man page: each named when installed, none when not.
    named="$({ grep -oE 'man pelagoxcon-page|pelagoxcon-page|PelagoXcon\.html' <<<"$text" || true; } | sort -u | wc -l)"
    [ "$named" -eq "$([ -f "$root/usr/share/pelagoxcon/PelagoXcon.html" ] && echo 3 || echo 0)" ] ||
        fail "the installed README names $named of the page, its launcher and its man page: all or none, as installed"
}

# The packaged tool reads the packaged virtual adapter's identity; both tell
# the tool's version, and the adapter calls itself by its installed name.
check_tool_meets_adapter() {
    local bin="$1" status=0 program
    for program in PelagoXcon pelagoxcon-virtual-adapter; do
        [ "$("$bin/$program" --version)" = "PelagoXcon $(help_version "$bin/PelagoXcon")" ] ||
            fail "packaged $program --version does not print the tool's version"
    done
    "$bin/pelagoxcon-virtual-adapter" --port-file "$SCRATCH/port" >/dev/null 2>"$SCRATCH/adapter.err" &
    SIM_PID=$!
    for _ in $(seq 100); do [ -s "$SCRATCH/port" ] && break; sleep 0.05; done
    timeout 30 "$bin/PelagoXcon" -p "$(cat "$SCRATCH/port")" -i >"$SCRATCH/info.txt" 2>&1 || status=$?
    stop_adapter
    [ "$status" -eq 0 ] && grep -q '^Bootloader Version: ' "$SCRATCH/info.txt" || {
        cat "$SCRATCH/info.txt" >&2
        fail "packaged PelagoXcon -i on the packaged virtual adapter exited $status"
    }
    grep -q '^pelagoxcon-virtual-adapter: .* commands' "$SCRATCH/adapter.err" ||
        fail "the packaged virtual adapter does not call itself by its name: $(cat "$SCRATCH/adapter.err")"
    [ ! -e "$SCRATCH/port" ] || fail "the packaged virtual adapter left its port file"
}

check_zip() {
    local build="$1" exe="$2" page="$3" zip top
    require_page "$page"
    make_package "$build" "$SCRATCH/out" || fail "cpack failed for $build"
    zip="$(echo "$SCRATCH"/out/pelagoxcon-*-win64.zip)"
    [ -f "$zip" ] || fail "no pelagoxcon-*-win64.zip made"
    top="pelagoxcon-$(help_version "$exe")-win64"

    diff <(printf '%s\n' "$top/PelagoXcon.exe" "$top/PelagoXcon.html" "$top/README.txt" "$top/pelagoxcon-focus.exe") \
         <(unzip -Z1 "$zip" | grep -v '/$' | sort) || fail "the zip holds other files"
    unzip -q "$zip" -d "$SCRATCH/x"
    same_file "$SCRATCH/x/$top/PelagoXcon.html" "$page"
    check_windows_exe "$SCRATCH/x/$top/PelagoXcon.exe" >/dev/null ||
        fail "PelagoXcon.exe is not a Windows x86-64 executable"

    local readme="$SCRATCH/x/$top/README.txt" lines
    lines="$(wc -l <"$readme")"
    [ "$lines" -gt 0 ] && [ "$(grep -c $'\r$' "$readme")" -eq "$lines" ] || fail "README.txt has lines without CR LF"
    [ "$(tail -c 2 "$readme" | od -An -c | tr -d ' ')" = '\r\n' ] || fail "README.txt does not end in CR LF"
    ! grep -q $'\r\r' "$readme" || fail "README.txt has doubled CRs"
    diff <(help_options "$exe") <(tr -d '\r' <"$readme" | sed -n '/^    -f, --flash/,/default behavior/p' | sed 's/^    //') ||
        fail "README.txt's options differ from the program's"
    grep -q 'open PelagoXcon.html' "$readme" && grep -q 'with Chrome or Edge' "$readme" ||
        fail "README.txt does not say to open PelagoXcon.html with Chrome or Edge"
}

# The one-file page needs nothing beside it and stays small enough to mail.
ONE_FILE_MAX_BYTES=1048576
check_one_file() {
    local page="$1" size references
    size="$(stat -c %s "$page")"
    [ "$size" -le "$ONE_FILE_MAX_BYTES" ] || fail "$page is $size bytes, more than $ONE_FILE_MAX_BYTES"
    references="$(grep -oE '(src|href)="[^"]*"' "$page" | grep -vE '^(src|href)="(data:|#)' || true)"
    [ -z "$references" ] || fail "$page refers to other files: $references"
    grep -q "connect-src 'none'" "$page" && ! grep -qE "'unsafe-(inline|eval)'" "$page" ||
        fail "$page's policy is not as strict as the site's"
}

# The web zip, remade by its own rule: exactly the site's files (the page's
# sources and the module) plus PelagoXcon.html, each the build's, and no
# leftover of the build directory, which the worker, written anew, does not
# list either.
check_web() {
    local wasm="$1" sources="$2" zip top leftover
    require_page "$wasm/PelagoXcon.html"
    leftover="$wasm/web/leftover-$$.js"
    : >"$leftover"
    rm -f "$wasm/web/sw.js"
    cmake --build "$wasm" --target pelago_web_zip >"$SCRATCH/build.log" 2>&1 || {
        rm -f "$leftover"
        cat "$SCRATCH/build.log" >&2
        fail "building pelago_web_zip failed"
    }
    rm -f "$leftover"
    zip="$(echo "$wasm"/pelagoxcon-*-web.zip)"
    top="$(basename "$zip" .zip)"
    local expected=(PelagoXcon.html pelago.js pelago.wasm icon-192.png icon-512.png) name
    for name in "$sources"/*.html "$sources"/*.js "$sources"/*.css "$sources"/*.svg "$sources"/*.webmanifest; do
        expected+=("$(basename "$name")")
    done
    diff <(printf "$top/%s\n" "${expected[@]}" | sort) <(unzip -Z1 "$zip" | grep -v '/$' | sort) ||
        fail "the web zip holds other files than the site and PelagoXcon.html"
    diff <(printf "%s\n" "${expected[@]}" | grep -vxE 'PelagoXcon.html|sw.js' | sort) \
         <(sed -n "s/^  '\([^']*\)': '[0-9a-f]*',\$/\1/p" "$wasm/web/sw.js" | sort) ||
        fail "the worker caches other files than the site's"
    unzip -q "$zip" -d "$SCRATCH/web"
    check_one_file "$wasm/PelagoXcon.html"
    for name in "${expected[@]}"; do
        if [ "$name" = PelagoXcon.html ]; then
            same_file "$SCRATCH/web/$top/$name" "$wasm/$name"
        else
            same_file "$SCRATCH/web/$top/$name" "$wasm/web/$name"
        fi
    done
}

# Every package a configure error tells the user to install is one the
# scripts install: a fresh machine must never stop at such an error.
check_packages() {
    local source="$1" named pkg
    named="$(find "$source" -path "$source/build*" -prune -o \( -name CMakeLists.txt -o -name '*.cmake' \) -print0 |
        xargs -0 grep -ho 'FATAL_ERROR "[^"]*install [a-z0-9.+-]*' | sed 's/.*install //' | sort -u)"
    [ -n "$named" ] || fail "no configure error names a package; the check has lost its pattern"
    for pkg in $named; do
        grep -qE "ensure_packages .*[[:space:]]$pkg([[:space:]]|\$)" "$source/scripts/lib/common.sh" ||
            fail "a configure error names $pkg, which scripts/lib/common.sh does not install"
    done
}

case "${1:-}" in
    manpages) check_manpages "$2" "$3" "$4" ;;
    deb) check_deb "$2" "$3" "$4" ;;
    zip) check_zip "$2" "$3" "$4" ;;
    web) check_web "$2" "$3" ;;
    install) check_install "$2" "$3" ;;
    packages) check_packages "$2" ;;
    *) fail "usage: $0 manpages|deb|zip|web|install|packages ARGS..." ;;
esac
echo "ok: $1"
