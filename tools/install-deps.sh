#!/usr/bin/env bash
# Installs every Debian package needed to build, run, test, fuzz and benchmark
# both programs. Idempotent: when everything is present it only checks.
# Uses sudo when not run as root.
#
# Usage: tools/install-deps.sh
set -euo pipefail
case ${1:-} in
"") ;;
-h | --help)
    sed -n '2,6s/^# \{0,1\}//p' "$0"
    exit 0
    ;;
*)
    echo "install-deps.sh: unknown option \"$1\" (see --help)" >&2
    exit 2
    ;;
esac

PKGS=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev clang-format
  # libraries
  qt6-base-dev librtmidi-dev zlib1g-dev libcurl4-openssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # a real MIDI system for tests (JACK with the dummy backend)
  jackd2 libjack-jackd2-dev
  # DNS-SD: the dns_sd library, and a daemon the tests confine to loopback
  dbus avahi-daemon avahi-utils libavahi-compat-libdnssd-dev
  # archive tools used to make test archives and as benchmark references
  zip unzip libarchive-tools p7zip-full python3 time
  # network namespaces for the tests of a phone that leaves the Wi-Fi
  iproute2
  # the updater's tests: a certificate authority made at test time, and curl
  # as the benchmark's reference download
  openssl curl
  # fonts for the offscreen Qt platform
  fonts-dejavu-core
  # the tray program: SVG icons, the desktop's file types and launchers
  qt6-svg-dev shared-mime-info desktop-file-utils
  # the tray host looked for off the event loop: the session bus itself
  libdbus-1-dev
  # a real tray in tests: an X server, an XEmbed tray host, clicks, screenshots
  xvfb trayer xdotool x11-utils imagemagick
  # today's desktops: the display probe (libxcb), Qt on Wayland and a headless
  # compositor for its tests, PipeWire's JACK for the MIDI tests on it
  libxcb1-dev qt6-wayland weston pipewire pipewire-jack wireplumber
  # the Debian package and its checks
  lintian
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#PKGS[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to enable realtime scheduling; answer no.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
# No service may start while installing: avahi-daemon would announce this
# machine on every interface. The tests start their own, confined to loopback.
guard=/usr/sbin/policy-rc.d
saved=""
if [ -e "$guard" ]; then
  saved=$(mktemp)
  $SUDO cp -p "$guard" "$saved"
fi
restore_guard() {
  if [ -n "$saved" ]; then
    $SUDO cp -p "$saved" "$guard"
    rm -f "$saved"
  else
    $SUDO rm -f "$guard"
  fi
}
trap restore_guard EXIT
printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$guard" >/dev/null
$SUDO chmod 755 "$guard"
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
