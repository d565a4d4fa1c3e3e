#!/usr/bin/env bash
# Installs the Debian packages Kestrio needs. Quiet and quick when everything is there.
#   scripts/install-deps.sh run    what building and running the host needs
#   scripts/install-deps.sh test   that, plus what the tests, sanitizers and fuzzers need
set -euo pipefail

purpose=${1:-run}
run_packages=(
    cmake ninja-build g++ pkg-config
    libasio-dev libavahi-client-dev
    libavcodec-dev libavutil-dev libx264-dev libturbojpeg0-dev libyuv-dev
    libxcb1-dev libxcb-shm0-dev libxcb-xfixes0-dev libxcb-damage0-dev libxcb-randr0-dev libxcb-xtest0-dev
    libxau-dev libxcvt-dev libglib2.0-dev libpipewire-0.3-dev libwayland-dev libwayland-bin wayland-protocols libxkbcommon-dev
    nlohmann-json3-dev libicu-dev libpugixml-dev libcurl4-openssl-dev
    libimobiledevice-dev libusbmuxd-dev libplist-dev ca-certificates
    libnatpmp-dev libminiupnpc-dev plasma-wayland-protocols libsoup-3.0-dev libqrencode-dev
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev libgstreamer-plugins-bad1.0-dev
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-nice
    qt6-base-dev qt6-declarative-dev qml6-module-qtquick qml6-module-qtquick-controls
    qml6-module-qtquick-layouts qml6-module-qtquick-window qml6-module-qtquick-templates
    qml6-module-qtqml-workerscript qt6-qpa-plugins qt6-wayland libqt6svg6 fonts-nanum
    xvfb x11-xserver-utils pulseaudio-utils
    libgtest-dev libgmock-dev libbenchmark-dev
)
# Not msmtp-mta or any other mail server: it would take the place of the machine's (exim4,
# postfix). The tests hand the host msmtp as its sendmail program (KESTRIO_SENDMAIL).
test_packages=(
    clang libclang-rt-14-dev
    dbus avahi-daemon avahi-utils python3 python3-zeroconf iproute2 procps
    ffmpeg python3-xlib xserver-xorg-core xserver-xorg-video-dummy pulseaudio desktop-file-utils openssl libglib2.0-bin
    miniupnpd nftables msmtp python3-aiosmtpd
    dpkg-dev hicolor-icon-theme ccache
    mutter pipewire pipewire-bin wireplumber libgl1-mesa-dri libegl-mesa0 sway kwin-wayland
    python3-gi gir1.2-gtk-3.0 python3-websocket chromium
)

case "$purpose" in
    run) wanted=("${run_packages[@]}") ;;
    test) wanted=("${run_packages[@]}" "${test_packages[@]}") ;;
    *) echo "usage: $0 run|test" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
