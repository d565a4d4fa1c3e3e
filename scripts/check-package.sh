#!/usr/bin/env bash
# Builds the Debian package (cpack -G DEB) from an optimised build of its own in build/package and
# checks it the way a Debian machine will meet it: the control fields, the files and who owns
# them, the menu entry, the icons, the programs run with the system's libraries, every linked
# library and started program declared, and an install and a purge by dpkg itself into a
# throwaway root. Exits 0 only when every check passes.
#   scripts/check-package.sh              build the package, then check it
#   scripts/check-package.sh FILE.deb     only check FILE.deb (installs nothing, builds nothing)
#   KESTRIO_PACKAGE_BUILD_DIR   an existing build folder to package from instead, kept as it is
#                               configured (e.g. build/release after scripts/test.sh: no rebuild)
#   KESTRIO_BUILD_NUMBER        the build number, which becomes the Debian revision (default 1)

# Checks are written `condition && pass … || fail …`: pass always succeeds.
# shellcheck disable=SC2015
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
own_build=$root/build/package
build=$(realpath -m "${KESTRIO_PACKAGE_BUILD_DIR:-$own_build}")
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrio-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

failures=0
pass() { echo "ok      $*"; }
fail() {
    echo "FAILED  $*"
    failures=$((failures + 1))
}
die() {
    echo "FAILED  $*"
    exit 1
}

# --- The package ----------------------------------------------------------------------------------

if [ $# -gt 0 ]; then
    deb=$(readlink -f "$1")
    [ -f "$deb" ] || die "no such file: $1"
else
    "$root/scripts/install-deps.sh" run || die "installing the build's packages"
    # dpkg-shlibdeps (dpkg-dev) finds the library dependencies; the other two are for the checks.
    wanted=(dpkg-dev desktop-file-utils hicolor-icon-theme)
    missing=()
    for package in "${wanted[@]}"; do
        [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null)" = installed ] || missing+=("$package")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        sudo=()
        [ "$(id -u)" -eq 0 ] || sudo=(sudo)
        echo "Installing: ${missing[*]}"
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null ||
            die "installing ${missing[*]}"
    fi

    echo "== build ($build)"
    configure=(-S "$root" -B "$build")
    # Its own folder builds only the programs; packaging leaves tests and benchmarks out anyway.
    if [ "$build" = "$own_build" ]; then
        configure+=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRIO_TESTS=OFF -DKESTRIO_BENCHMARKS=OFF
                    -DKESTRIO_FUZZ=OFF -DKESTRIO_SANITIZE= "-DKESTRIO_BUILD_NUMBER=${KESTRIO_BUILD_NUMBER:-1}")
    elif [ -n "${KESTRIO_BUILD_NUMBER:-}" ]; then
        configure+=("-DKESTRIO_BUILD_NUMBER=$KESTRIO_BUILD_NUMBER")
    fi
    cmake "${configure[@]}" >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; die "cmake configure"; }
    cmake --build "$build" -j "$(nproc)" >"$work/build.log" 2>&1 || { tail -n 60 "$work/build.log"; die "the build"; }
    rm -f "$build"/kestrio_*.deb
    (cd "$build" && cpack -G DEB) >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; die "cpack -G DEB"; }
    debs=("$build"/kestrio_*.deb)
    [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || die "cpack made no single kestrio_*.deb in $build"
    deb=${debs[0]}
fi
echo "== $deb"
dpkg-deb --info "$deb"

# --- Control fields -----------------------------------------------------------------------------

field() { dpkg-deb --field "$deb" "$1"; }
# The package names a relation field allows, alternatives and versions taken apart.
names_in() { tr ',|' '\n' <<<"$1" | sed -E 's/\(.*\)//; s/\[.*\]//; s/:[a-z0-9]+//; s/[[:space:]]//g' | grep -v '^$'; }
depends=$(field Depends)
depends_names=$(names_in "$depends")
declares() { grep -qxF "$1" <<<"$depends_names"; }

[ "$(field Package)" = kestrio ] && pass "Package: kestrio" || fail "Package is '$(field Package)', not kestrio"
arch=$(dpkg --print-architecture)
[ "$(field Architecture)" = "$arch" ] && pass "Architecture: $arch" || fail "Architecture is '$(field Architecture)', this machine is $arch"
project_version=$(sed -nE 's/^project\(kestrio VERSION ([0-9.]+).*/\1/p' "$root/CMakeLists.txt")
version=$(field Version)
if [[ "$version" =~ ^${project_version//./\\.}-[0-9][A-Za-z0-9.+~]*$ ]]; then
    pass "Version: $version (the project's $project_version and the build number)"
else
    fail "Version is '$version', expected $project_version-<build number>"
fi
[ "$(field Maintainer)" = "Kestrio developers <dev@kestrio.invalid>" ] && pass "Maintainer" || fail "Maintainer is '$(field Maintainer)'"
case "$(field Section)" in net | video) pass "Section: $(field Section)" ;; *) fail "Section is '$(field Section)'" ;; esac
[ -n "$(field Description | sed -n 2p)" ] && pass "Description has a summary and a long text" || fail "Description lacks a long text"
long_lines=$(field Description | awk 'length > 80')
[ -z "$long_lines" ] && pass "Description lines fit in 80 columns" || { fail "Description lines longer than 80 columns:"; echo "$long_lines"; }
for package in xvfb x11-xserver-utils pulseaudio-utils; do
    declares "$package" && pass "Depends: $package" || fail "Depends lacks $package"
done
for pattern in '^libavcodec[0-9]' '^libx264-[0-9]' '^libturbojpeg[0-9]' '^libxcb1$' '^libxcvt0$' '^libavahi-client[0-9]' '^libc6$'; do
    grep -qE "$pattern" <<<"$depends_names" && pass "Depends: $(grep -E "$pattern" <<<"$depends_names" | head -n 1) (dpkg-shlibdeps)" ||
        fail "Depends has no ${pattern//[\^\$]/} package: dpkg-shlibdeps did not run (is dpkg-dev installed?)"
done
grep -qxF avahi-daemon <<<"$(names_in "$(field Recommends)")" && pass "Recommends: avahi-daemon" || fail "Recommends lacks avahi-daemon"
[[ "$(field Suggests)" == *"msmtp-mta | mail-transport-agent"* ]] && pass "Suggests: msmtp-mta | mail-transport-agent" ||
    fail "Suggests lacks 'msmtp-mta | mail-transport-agent'"

# --- Files --------------------------------------------------------------------------------------

dpkg-deb --contents "$deb" >"$work/contents" || die "dpkg-deb --contents"
expected_files=(
    ./usr/bin/kestrio
    ./usr/bin/kestrio-viewer
    ./usr/share/applications/kestrio.desktop
    ./usr/share/icons/hicolor/48x48/apps/kestrio.png
    ./usr/share/icons/hicolor/128x128/apps/kestrio.png
    ./usr/share/icons/hicolor/256x256/apps/kestrio.png
    ./usr/share/icons/hicolor/scalable/apps/kestrio.svg
)
awk '$1 !~ /^d/ {print $6}' "$work/contents" | sort >"$work/files"
printf '%s\n' "${expected_files[@]}" | sort >"$work/expected"
if cmp -s "$work/files" "$work/expected"; then
    pass "the package holds exactly the program, the viewer, the menu entry and the icons"
else
    fail "the package's files differ from the expected ones (< in the package, > expected):"
    diff "$work/files" "$work/expected" | grep '^[<>]'
fi
awk '$2 != "root/root" {print "  " $2 " " $6}' "$work/contents" >"$work/owners"
[ ! -s "$work/owners" ] && pass "every entry belongs to root/root" || { fail "entries not owned by root/root:"; cat "$work/owners"; }
awk '$1 ~ /^d/ && $1 != "drwxr-xr-x" {print "  " $1 " " $6}
     $1 !~ /^d/ && $6 ~ /^\.\/usr\/bin\// && $1 != "-rwxr-xr-x" {print "  " $1 " " $6}
     $1 !~ /^d/ && $6 !~ /^\.\/usr\/bin\// && $1 != "-rw-r--r--" {print "  " $1 " " $6}' "$work/contents" >"$work/modes"
[ ! -s "$work/modes" ] && pass "folders and programs are 0755, data files 0644" || { fail "unexpected file modes:"; cat "$work/modes"; }

extracted=$work/extracted
dpkg-deb -x "$deb" "$extracted" || die "dpkg-deb -x"

desktop=$extracted/usr/share/applications/kestrio.desktop
if [ -f "$desktop" ]; then
    validation=$(desktop-file-validate "$desktop" 2>&1)
    status=$?
    [ $status -eq 0 ] && [ -z "$validation" ] && pass "desktop-file-validate has nothing to say about kestrio.desktop" ||
        { fail "desktop-file-validate on kestrio.desktop:"; printf '  %s\n' "$validation"; }
    exec_program=$(sed -nE 's/^Exec=([^ ]+).*/\1/p' "$desktop" | head -n 1)
    # Absolute: KWin grants its protocols to the program at the path the entry names.
    [ "${exec_program#/usr/bin/}" != "$exec_program" ] && [ -x "$extracted$exec_program" ] &&
        pass "the entry's Exec=$exec_program is a program of the package" ||
        fail "the entry's Exec='$exec_program' is not the path of a program in the package's /usr/bin"
    icon=$(sed -nE 's/^Icon=(.*)/\1/p' "$desktop" | head -n 1)
    [ -n "$icon" ] && [ -f "$extracted/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] &&
        pass "the entry's Icon=$icon is an icon of the package" ||
        fail "the entry's Icon='$icon' is not among the package's hicolor icons"
fi

# A PNG's width and height are the big-endian words at bytes 16 and 20.
png_size() { od -An -tu1 -j16 -N8 "$1" | awk '{printf "%dx%d", $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8}'; }
for size in 48 128 256; do
    png=$extracted/usr/share/icons/hicolor/${size}x${size}/apps/kestrio.png
    [ -f "$png" ] || continue
    signature=$(od -An -tx1 -N8 "$png" | tr -d ' \n')
    actual=$(png_size "$png")
    [ "$signature" = 89504e470d0a1a0a ] && [ "$actual" = "${size}x${size}" ] && pass "icon ${size}x${size}: a PNG of that size" ||
        fail "icon ${size}x${size}/apps/kestrio.png is not a ${size}x${size} PNG (signature $signature, size $actual)"
done
svg=$extracted/usr/share/icons/hicolor/scalable/apps/kestrio.svg
[ -f "$svg" ] && grep -q '<svg' "$svg" && pass "scalable icon: an SVG" || fail "scalable/apps/kestrio.svg is missing or no SVG"

# --- The programs ---------------------------------------------------------------------------------

for program in kestrio kestrio-viewer; do
    binary=$extracted/usr/bin/$program
    [ -f "$binary" ] || continue
    paths=$(readelf -d "$binary" | grep -E '\((RPATH|RUNPATH)\)')
    [ -z "$paths" ] && pass "$program: no RPATH or RUNPATH" || fail "$program carries a library path: $paths"
    readelf -S "$binary" | grep -qE '\.(symtab|debug_info)' && fail "$program is not stripped" || pass "$program: stripped"
    unresolved=$(env -u LD_LIBRARY_PATH ldd "$binary" 2>&1 | grep 'not found')
    [ -z "$unresolved" ] && pass "$program: every library found on the system" || fail "$program: libraries missing: $unresolved"

    # Each library the program links against, by the package that holds it here, is declared.
    # One dpkg-query for all of them: each call reads the whole package database.
    env -u LD_LIBRARY_PATH ldd "$binary" >"$work/ldd" 2>&1
    pairs=()
    candidates=()
    while read -r soname; do
        path=$(awk -v s="$soname" '$1 == s && $3 ~ /^\// {print $3}' "$work/ldd")
        [ -n "$path" ] || continue
        pairs+=("$soname $path")
        # Debian registers a library under /usr/lib or /lib, while the loader may find it by either.
        candidates+=("$path" "$(readlink -f "$path")" "${path#/usr}" "/usr${path#/usr}")
    done < <(readelf -d "$binary" | sed -nE 's/.*\(NEEDED\).*\[(.*)\]/\1/p')
    declare -A owner_of=()
    while IFS= read -r line; do
        owner_of[${line#*: }]=${line%%:*}
    done < <(dpkg-query -S "${candidates[@]}" 2>/dev/null | grep -v '^diversion ')
    undeclared=0
    for pair in "${pairs[@]}"; do
        read -r soname path <<<"$pair"
        owner=
        for candidate in "$path" "$(readlink -f "$path")" "${path#/usr}" "/usr${path#/usr}"; do
            owner=${owner_of[$candidate]:-}
            [ -n "$owner" ] && break
        done
        if [ -z "$owner" ]; then
            fail "$program: no Debian package holds $soname ($path)"
            undeclared=1
        elif ! declares "${owner%%,*}"; then
            fail "$program links $soname from ${owner%%,*}, which Depends does not name"
            undeclared=1
        fi
    done
    unset owner_of
    [ $undeclared -eq 0 ] && pass "$program: the packages of all ${#pairs[@]} linked libraries are in Depends"
done

kestrio=$extracted/usr/bin/kestrio
if [ -x "$kestrio" ]; then
    version_line=$(env -u LD_LIBRARY_PATH "$kestrio" --version 2>&1)
    status=$?
    upstream=${version%-*}
    revision=${version##*-}
    [ $status -eq 0 ] && [ "$version_line" = "kestrio $upstream ($revision)" ] &&
        pass "kestrio --version says '$version_line', as the package's version $version" ||
        fail "kestrio --version exited $status with '$version_line', the package is $version"
    help=$(env -u LD_LIBRARY_PATH "$kestrio" --help 2>&1)
    status=$?
    [ $status -eq 0 ] && grep -q -- '--version' <<<"$help" && pass "kestrio --help lists the options" ||
        { fail "kestrio --help exited $status:"; head -n 5 <<<"$help"; }
fi
viewer=$extracted/usr/bin/kestrio-viewer
if [ -x "$viewer" ]; then
    # The viewer prints its usage and exits 2 for --help, as for any bad argument.
    usage=$(env -u LD_LIBRARY_PATH "$viewer" --help 2>&1)
    grep -q '^usage: kestrio-viewer' <<<"$usage" && pass "kestrio-viewer starts and prints its usage" ||
        { fail "kestrio-viewer --help:"; head -n 5 <<<"$usage"; }
fi

# Programs the host starts by name: the packages that provide them here must be declared.
for program in Xvfb xrandr pactl; do
    path=$(command -v "$program") || { fail "$program is not installed here, so its package cannot be checked"; continue; }
    owner=$(dpkg-query -S "$(readlink -f "$path")" 2>/dev/null | head -n 1 | cut -d: -f1)
    [ -z "$owner" ] && owner=$(dpkg-query -S "$path" 2>/dev/null | head -n 1 | cut -d: -f1)
    [ -n "$owner" ] && declares "$owner" && pass "$program comes from $owner, which Depends names" ||
        fail "$program comes from '${owner:-no package}', which Depends does not name"
done

# A window in QML loads its modules as plugins, which no linker records.
if [ -x "$kestrio" ] && readelf -d "$kestrio" | grep -q 'libQt6Quick\.so'; then
    for package in qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts qml6-module-qtquick-window \
                   qml6-module-qtquick-templates qml6-module-qtqml-workerscript qt6-qpa-plugins libqt6svg6 fonts-nanum; do
        declares "$package" && pass "Depends: $package (the window)" || fail "kestrio links Qt Quick, but Depends lacks $package"
    done
fi

# --- Maintainer scripts -------------------------------------------------------------------------

dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||' | grep -E '^(preinst|postinst|prerm|postrm)$' >"$work/scripts"
if [ -s "$work/scripts" ]; then
    dpkg-deb -e "$deb" "$work/control"
    while read -r script; do
        sh -n "$work/control/$script" && pass "maintainer script $script parses" || fail "maintainer script $script does not parse"
    done <"$work/scripts"
else
    pass "no maintainer scripts (the icon cache and the menu are refreshed by dpkg triggers)"
fi

# --- Installed by dpkg into a throwaway root ------------------------------------------------------

# Debian's hicolor-icon-theme and desktop-file-utils, as installed here, are copied into the root's
# database with the file triggers they registered; installing must activate both.
instroot=$work/root
admin=$instroot/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
: >"$admin/status"
for package in hicolor-icon-theme desktop-file-utils; do
    dpkg-query -s "$package" >>"$admin/status" 2>/dev/null && echo >>"$admin/status"
    : >"$admin/info/$package.list"
    grep -E " $package/" /var/lib/dpkg/triggers/File >>"$admin/triggers/File"
done
dpkg_options=(--root="$instroot" --log="$work/dpkg.log" --no-triggers)
[ "$(id -u)" -eq 0 ] || dpkg_options+=(--force-not-root)
# dpkg runs maintainer scripts chrooted into the root, which only root may do, and they need a
# shell there: /bin/sh and its libraries, and nothing else, so that a script must cope with the
# tools it calls being absent.
: >"$work/provided"
if [ -s "$work/scripts" ]; then
    if [ "$(id -u)" -eq 0 ]; then
        shell=$(readlink -f /bin/sh)
        for file in "$shell" $(ldd "$shell" | grep -oE '/[^ ]+'); do
            mkdir -p "$instroot$(dirname "$file")"
            cp "$file" "$instroot$file"
            echo "${file#/}" >>"$work/provided"
        done
        mkdir -p "$instroot/bin"
        [ "$shell" = /bin/sh ] || ln -s "$shell" "$instroot/bin/sh"
    else
        fail "the maintainer scripts can only be run in a throwaway root as root: run this check as root"
    fi
fi
if dpkg "${dpkg_options[@]}" --force-depends -i "$deb" >"$work/install.log" 2>&1; then
    pass "dpkg -i into a fresh root ($( [ "$(id -u)" -eq 0 ] && echo as root || echo --force-not-root))"
else
    fail "dpkg -i into a fresh root:"
    grep -v -e 'depends on' -e 'is not installed' "$work/install.log"
fi
state=$(dpkg-query --admindir="$admin" -W -f='${db:Status-Status}' kestrio 2>/dev/null)
[ "$state" = installed ] && pass "dpkg records kestrio as installed" || fail "kestrio's state after dpkg -i is '$state'"
landed=0
for file in "${expected_files[@]}"; do
    cmp -s "$extracted/$file" "$instroot/$file" || { fail "dpkg did not install $file"; landed=1; }
done
[ $landed -eq 0 ] && pass "every file landed under the root"
dpkg "${dpkg_options[@]}" --verify kestrio >"$work/verify.log" 2>&1 && [ ! -s "$work/verify.log" ] &&
    pass "dpkg --verify: the installed files match the package's checksums" ||
    { fail "dpkg --verify:"; cat "$work/verify.log"; }
for package in hicolor-icon-theme desktop-file-utils; do
    dpkg-query -s "$package" >/dev/null 2>&1 || { fail "$package is not installed here: cannot check its trigger"; continue; }
    pending=$(dpkg-query --admindir="$admin" -W -f='${db:Status-Status}' "$package")
    [ "$pending" = triggers-pending ] && pass "installing activates $package's file trigger" ||
        fail "installing left $package '$pending': its file trigger did not fire, so nothing refreshes the cache"
done
if dpkg "${dpkg_options[@]}" --purge kestrio >"$work/purge.log" 2>&1; then
    left=$(cd "$instroot" && find usr -type f 2>/dev/null | grep -vxFf "$work/provided")
    [ -z "$left" ] && pass "dpkg --purge removes every file" || fail "dpkg --purge left files: $left"
else
    fail "dpkg --purge:"
    cat "$work/purge.log"
fi

# --- What apt would do ---------------------------------------------------------------------------

# Every Depends must be installed or installable from this machine's apt sources.
if apt-get install -s --no-install-recommends "$deb" >"$work/apt.log" 2>&1 && grep -q '^Inst kestrio ' "$work/apt.log"; then
    extra=$(grep '^Inst ' "$work/apt.log" | grep -vc '^Inst kestrio ')
    pass "apt-get install -s $(basename "$deb"): resolvable ($extra other packages to install here)"
else
    fail "apt cannot resolve the package's dependencies here:"
    grep -vE '^(Reading|Building|NOTE|This is only|Conf )' "$work/apt.log" | head -n 30
fi

if command -v lintian >/dev/null 2>&1; then
    echo "== lintian (informational)"
    lintian --tag-display-limit 0 "$deb" 2>&1 | sed 's/^/  /'
else
    echo "== lintian is not installed; skipped"
fi

echo
if [ $failures -eq 0 ]; then
    echo "package check passed: $deb"
    exit 0
fi
echo "package check: $failures check(s) failed"
exit 1
