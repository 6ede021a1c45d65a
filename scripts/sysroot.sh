#!/usr/bin/env bash
# Makes the board's armhf sysroot: the sysroot group of scripts/packages.list
# and what it depends on, extracted from the base suite of the host's own
# release (never its updates or security suites, whose armhf indexes lag
# behind the host's), without touching the host's package architectures.
# The cross compiler links against its own libc and libstdc++; the programs
# run against the sysroot's under the emulator. Made again only when the
# package list or this script changes.
#   bash scripts/sysroot.sh [DIR]        DIR defaults to build-armhf-sysroot
# Leaves:
#   DIR/root      the sysroot: libraries and headers; no dev, tmp or var
#                 (under qemu-arm -L they would shadow the host's /dev/ptmx
#                 and /tmp); absolute links made relative, so a link never
#                 leaves it; DEBIAN/shlibs and DEBIAN/symbols of its packages,
#                 from which dpkg-shlibdeps takes the board's dependencies
#   DIR/qemu-arm  the emulator on that sysroot, one path for CMake
# ORVEL_SYSROOT_MIRROR names the archive when the host's sources do not.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dir=${1:-$here/../build-armhf-sysroot}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)
packages=$(awk '$1 == "sysroot:" { $1 = ""; print }' "$here/packages.list")
stamp=$({ echo "$packages"; cat "$0"; } | sha256sum | cut -d' ' -f1)
if [ -d "$dir/root" ] && [ "$(cat "$dir/stamp" 2>/dev/null)" = "$stamp" ]; then
  exit 0
fi

fail() { echo "sysroot: $*" >&2; exit 1; }
. /etc/os-release
suite=${VERSION_CODENAME:?}
# The host's archive for its base suite: deb822 sources first, then the
# one-line form.
mirror=${ORVEL_SYSROOT_MIRROR:-$(
  { cat /etc/apt/sources.list.d/*.sources 2>/dev/null; echo; } | awk -v suite="$suite" '
    BEGIN { RS = ""; FS = "\n" }
    { uri = ""; found = 0; deb = 0
      for (i = 1; i <= NF; i++) {
        line = $i
        if (line ~ /^#/) continue
        if (line ~ /^Types:/ && line ~ /[ \t]deb([ \t]|$)/) deb = 1
        if (line ~ /^URIs:/) { split(line, u, /[ \t]+/); uri = u[2] }
        if (line ~ /^Suites:/) { n = split(line, s, /[ \t]+/); for (j = 2; j <= n; j++) if (s[j] == suite) found = 1 }
      }
      if (deb && found && uri != "") { print uri; exit } }'
)}
[ -n "$mirror" ] || mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null |
  awk -v suite="$suite" '$1 == "deb" { i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
                                       if ($(i + 1) == suite) { print $i; exit } }')
[ -n "$mirror" ] || fail "no archive for $suite in the host's apt sources; set ORVEL_SYSROOT_MIRROR"

mode=root
[ "$(id -u)" -eq 0 ] || mode=unshare
new="$dir/root.new"
rm -rf "$new" "$dir/stamp"
echo "sysroot: armhf $suite from $mirror into $dir/root"
if ! mmdebstrap --mode=$mode --variant=extract --arch=armhf --skip=cleanup/apt/cache \
     --include="$(echo $packages | tr ' ' ,)" "$suite" "$new" "deb $mirror $suite main" \
     >"$dir/mmdebstrap.log" 2>&1; then
  fail "mmdebstrap failed: $(grep -E '^E: ' "$dir/mmdebstrap.log" | head -n1)"
fi

mkdir -p "$new/DEBIAN"
control=$(mktemp -d)
for deb in "$new"/var/cache/apt/archives/*.deb; do
  rm -rf "${control:?}"/*
  dpkg-deb -e "$deb" "$control"
  for f in shlibs symbols; do
    [ ! -f "$control/$f" ] || cat "$control/$f" >>"$new/DEBIAN/$f"
  done
done
rm -rf "$control" "$new/dev" "$new/tmp" "$new/var"
find "$new" -type l -lname '/*' | while read -r link; do
  ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "$new$(readlink "$link")")" "$link"
done

rm -rf "$dir/root"
mv "$new" "$dir/root"
printf '#!/bin/sh\nexec %s -L %s "$@"\n' "$(command -v qemu-arm || echo qemu-arm)" "$dir/root" >"$dir/qemu-arm"
chmod +x "$dir/qemu-arm"
echo "$stamp" >"$dir/stamp"
echo "sysroot: $(du -sh "$dir/root" | cut -f1) in $dir/root"
