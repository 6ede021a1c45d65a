#!/usr/bin/env bash
# Installs the Debian packages that a purpose needs (groups of
# scripts/packages.list), only those that are missing, and for the console's
# tests its npm packages as console/package-lock.json pins them. Nothing
# missing, no apt and no npm at all. A mirror that lags (one index failing with "Mirror sync in
# progress?") is survived: a failed 'apt-get update' is tried once more and
# the install goes on with the indexes that were fetched; only a package that
# cannot be installed fails the run, named with apt's reason on one line.
#   bash scripts/deps.sh PURPOSE...
#   PURPOSE: demo plain asan tsan fuzz armhf package package-armhf
# Exit status: 0 all installed; 1 a package could not be installed (one line
# "deps: cannot install PACKAGE: REASON" each); 2 usage.
# ORVEL_CONSOLE_DIR names another folder than console/ for the npm packages.
set -u
list="$(dirname "$0")/packages.list"
console=${ORVEL_CONSOLE_DIR:-$(dirname "$0")/../console}
usage="usage: $0 demo|plain|asan|tsan|fuzz|armhf|package|package-armhf..."

groups_of() {
  case "$1" in
    demo) echo tools build run ;;
    plain|asan|tsan) echo tools build run test check console ;;
    fuzz) echo tools build fuzz ;;
    armhf) echo tools run check cross console ;;
    package) echo tools build package ;;
    package-armhf) echo tools package cross ;;
    *) return 1 ;;
  esac
}

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# The line of apt's output that says why: an unmet dependency if there is
# one (the "E:" line after it only says "held broken packages"), else the
# first error.
reason_of() {
  local why
  why=$(grep -E ' : (Pre)?Depends: ' <<<"$1" | head -n1)
  [ -n "$why" ] || why=$(grep -E '^E: ' <<<"$1" | head -n1)
  [ -n "$why" ] || why="apt-get install failed"
  echo "$why" | tr -s ' \t' ' ' | sed 's/^ //; s/^E: //'
}

[ $# -gt 0 ] || { echo "$usage" >&2; exit 2; }
wanted=()
for purpose in "$@"; do
  groups=$(groups_of "$purpose") || { echo "$usage" >&2; exit 2; }
  for g in $groups; do
    wanted+=($(awk -v g="$g:" '$1 == g { for (i = 2; i <= NF; i++) print $i }' "$list"))
  done
done
missing=()
for p in $(printf '%s\n' "${wanted[@]}" | sort -u); do
  case "$p" in
    *=*) command -v "${p%%=*}" >/dev/null || missing+=("${p#*=}") ;;
    *) installed "$p" || missing+=("$p") ;;
  esac
done

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt() { DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get "$@"; }

# Installs "${missing[@]}"; 1 when a package cannot be installed.
apt_install() {
  echo "Installing: ${missing[*]}"
  if ! apt update -q; then
    echo "deps: apt-get update failed; trying once more"
    apt update -q || echo "deps: apt-get update failed again; installing from the indexes it fetched"
  fi
  apt install -y -q "${missing[@]}" && return 0
  # One package apt cannot install makes it refuse them all: take them one
  # at a time, so that the rest is installed and each failure is named.
  local p out status=0
  for p in "${missing[@]}"; do
    installed "$p" && continue
    if ! out=$(apt install -y -q "$p" 2>&1); then
      echo "deps: cannot install $p: $(reason_of "$out")" >&2
      status=1
    fi
  done
  return $status
}

# The console's npm packages, exactly as its lock file pins them, again only
# when the lock file changed since they were installed.
npm_install() {
  local stamp out
  stamp=$(sha256sum <"$console/package-lock.json" | cut -d' ' -f1)
  [ "$(cat "$console/node_modules/.orvel-lock" 2>/dev/null)" != "$stamp" ] || return 0
  echo "Installing the console's npm packages"
  for _ in 1 2; do
    out=$(cd "$console" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --no-audit --no-fund 2>&1) &&
      { echo "$stamp" >"$console/node_modules/.orvel-lock"; return 0; }
  done
  echo "deps: cannot install the console's npm packages: $(grep -m1 -E 'ERR' <<<"$out" | tr -s ' ')" >&2
  return 1
}

status=0
[ ${#missing[@]} -eq 0 ] || apt_install || status=1
if [[ " ${wanted[*]} " == *" npm=npm "* ]] && [ -f "$console/package-lock.json" ]; then
  npm_install || status=1
fi
exit $status
