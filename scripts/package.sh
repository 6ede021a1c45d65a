#!/usr/bin/env bash
# Builds the Debian packages for amd64 (the host) or armhf (the board,
# cross-built): a Release build with Debian's hardening flags, then CPack's
# DEB generator; the armhf build links against the board's sysroot
# (scripts/sysroot.sh), from which the packages' dependencies are taken too.
# Installs what it needs first (scripts/deps.sh). Leaves
# orvelgateway_<version>_<arch>.deb (gateway and simulator),
# orvelmqttbridge_<version>_<arch>.deb (the MQTT bridge) and
# orvelconsole_<version>_all.deb (the console page) in the output folder
# (default: the repository root; the build goes beneath it).
#   scripts/package.sh [amd64|armhf [output-folder]]
set -eu
cd "$(dirname "$0")/.."
arch=${1:-$(dpkg --print-architecture)}
extra=()
case "$arch" in
  armhf)
    bash scripts/deps.sh package-armhf
    bash scripts/sysroot.sh
    extra=(-DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake) ;;
  "$(dpkg --print-architecture)") bash scripts/deps.sh package ;;
  *) echo "usage: $0 [amd64|armhf]"; exit 2 ;;
esac
out=${2:-.}
mkdir -p "$out"
dir=$out/build-pkg-$arch
# Only the packaged programs are built; the tests are not needed here.
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DORVEL_WERROR=ON -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON \
  "${extra[@]}" >"$dir.configure.log"
cmake --build "$dir" -j2 --target OrvelGateway OrvelModuleSim OrvelMqttBridge >"$dir.build.log"
(cd "$dir" && DEB_HOST_ARCH=$arch cpack -G DEB >cpack.log) || { tail -n 30 "$dir/cpack.log"; exit 1; }
for p in orvelgateway_*_"$arch" orvelmqttbridge_*_"$arch" orvelconsole_*_all; do
  cp "$dir"/$p.deb "$out"/
  ls "$out"/$p.deb
done
