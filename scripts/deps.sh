#!/usr/bin/env bash
# Installs the build and test dependencies from Debian's packages, only those
# that are missing, with one 'apt-get update' before the first install.
set -eu
# clang and its runtime libraries build the fuzz targets (libFuzzer); the
# MQTT bridge needs libmosquitto, and its tests a real broker and clients.
packages=(g++ cmake make pkg-config rapidjson-dev libgtest-dev libgmock-dev fuse3 libfuse3-dev util-linux
          clang libclang-rt-14-dev libmosquitto-dev mosquitto mosquitto-clients openssl)
# systemd's notify protocol for the gateway; packaging tools.
packages+=(libsystemd-dev dpkg-dev lintian)
# The armhf cross build and its emulator, through Debian's multiarch.
packages+=(g++-arm-linux-gnueabihf qemu-user libstdc++6:armhf libgtest-dev:armhf libgmock-dev:armhf
           libfuse3-dev:armhf libsystemd-dev:armhf libmosquitto-dev:armhf)
dpkg --print-foreign-architectures | grep -qx armhf || {
  [ "$(id -u)" -eq 0 ] && dpkg --add-architecture armhf || sudo dpkg --add-architecture armhf
}
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  echo "Installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -q "${missing[@]}"
fi
