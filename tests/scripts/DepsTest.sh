#!/usr/bin/env bash
# Tests scripts/deps.sh against stand-ins for apt-get, dpkg-query and sudo on
# PATH: a mirror whose update fails, a package apt cannot install, what each
# purpose asks for, and the console's npm packages. The stand-ins keep their
# state in a folder: how many updates are still to fail, which packages apt
# refuses, what is installed, and every apt-get and npm call.
#   bash tests/scripts/DepsTest.sh CASE    (CASE: one of the functions below)
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
state=$(mktemp -d)
trap 'rm -rf "$state"' EXIT
mkdir "$state/bin"
touch "$state/installed" "$state/broken" "$state/calls"

cat >"$state/bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "$*" >>"$STATE/calls"
case "$1" in
  update)
    left=$(cat "$STATE/update-failures" 2>/dev/null || echo 0)
    [ "$left" -gt 0 ] || exit 0
    echo $((left - 1)) >"$STATE/update-failures"
    echo "E: Failed to fetch binary-armhf/Packages.xz  File has unexpected size (359552 != 360800). Mirror sync in progress?" >&2
    exit 100 ;;
  install)
    shift
    pkgs=()
    for a in "$@"; do case "$a" in -*) ;; *) pkgs+=("$a") ;; esac; done
    for p in "${pkgs[@]}"; do
      grep -qx "$p" "$STATE/broken" || continue
      echo "The following packages have unmet dependencies:"
      echo " $p : Depends: libssl3 (= 3.0.17-1~deb12u2) but 3.0.15-1~deb12u1 is to be installed"
      echo "E: Unable to correct problems, you have held broken packages." >&2
      exit 100
    done
    printf '%s\n' "${pkgs[@]}" >>"$STATE/installed" ;;
esac
STUB
cat >"$state/bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
pkg=${!#}
grep -qx "$pkg" "$STATE/installed" && echo "install ok installed"
STUB
printf '#!/bin/sh\nexec "$@"\n' >"$state/bin/sudo"
printf '#!/bin/sh\n' >"$state/bin/node"
cat >"$state/bin/npm" <<'STUB'
#!/usr/bin/env bash
echo "npm $*" >>"$STATE/calls"
[ ! -f "$STATE/npm-fails" ] || { echo "npm ERR! code ECONNRESET" >&2; exit 1; }
mkdir -p node_modules
STUB
chmod +x "$state/bin/"*
mkdir "$state/console"
echo '{"lockfileVersion": 3}' >"$state/console/package-lock.json"
export STATE=$state PATH="$state/bin:$PATH" ORVEL_CONSOLE_DIR="$state/console"

failures=0
check() { # DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}
group() { # GROUP...: the Debian packages of those lines of the list
  local g
  for g in "$@"; do
    awk -v g="$g:" '$1 == g { for (i = 2; i <= NF; i++) if ($i !~ /=/) print $i }' "$root/scripts/packages.list"
  done
}
deps() { bash "$root/scripts/deps.sh" "$@" >"$state/out" 2>"$state/err"; }
calls() { grep -c "^$1" "$state/calls"; }
all_installed() { for p in "$@"; do grep -qx "$p" "$state/installed" || return 1; done; }

lagging_mirror() {
  echo 5 >"$state/update-failures"
  deps plain
  check "an update that keeps failing does not stop the install" [ $? -eq 0 ]
  check "the update is tried twice, no more" [ "$(calls update)" -eq 2 ]
  check "every package of the purpose is installed" all_installed $(group tools build run test check console)
}

package_refused() {
  echo libmosquitto-dev >"$state/broken"
  deps plain
  check "a package apt refuses fails the run" [ $? -ne 0 ]
  check "one line names it with apt's reason" \
    grep -qx "deps: cannot install libmosquitto-dev: libmosquitto-dev : Depends: libssl3 .* is to be installed" "$state/err"
  check "the other packages are installed all the same" all_installed cmake g++ mosquitto libgtest-dev
}

demo_purpose() {
  deps demo
  check "the demo's packages install" [ $? -eq 0 ]
  local allowed=" $(group tools build run | tr '\n' ' ') " p
  check "something was installed" [ -s "$state/installed" ]
  for p in $(cat "$state/installed"); do
    check "the demo asks for $p, a package of the host build or what it runs" \
      grep -q " $p " <<<"$allowed"
  done
  for p in $(group cross) $(group fuzz); do
    check "the demo never asks for $p" bash -c "! grep -qx '$p' '$state/installed'"
  done
}

nothing_missing() {
  group tools build run test check console fuzz cross >"$state/installed"
  deps plain
  check "the console's npm packages are installed once" [ "$(calls 'npm ci')" -eq 1 ]
  : >"$state/calls"
  deps plain asan tsan fuzz armhf
  check "with everything installed the run succeeds" [ $? -eq 0 ]
  check "and never calls apt-get or npm" [ ! -s "$state/calls" ]
  echo '{"lockfileVersion": 3, "changed": 1}' >"$state/console/package-lock.json"
  touch "$state/npm-fails"
  deps plain
  check "a changed lock file whose packages npm cannot fetch fails the run" [ $? -ne 0 ]
  check "npm is tried twice" [ "$(calls 'npm ci')" -eq 2 ]
  check "one line says why" grep -qx "deps: cannot install the console's npm packages: npm ERR! code ECONNRESET" "$state/err"
}

unknown_purpose() {
  deps board
  check "an unknown purpose is a usage error" [ $? -eq 2 ]
  check "and asks apt for nothing" [ ! -s "$state/calls" ]
}

"$1"
exit $((failures > 0))
