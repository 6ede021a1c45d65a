#!/usr/bin/env bash
# Builds everything and runs every test with ctest in five flavours: plain
# (warnings as errors), AddressSanitizer+UndefinedBehaviorSanitizer,
# ThreadSanitizer, fuzz (the libFuzzer targets built with clang: every
# corpus replayed, then each target run for a bounded time, one at a time),
# and armhf (cross-built for the board against its own sysroot, run under
# qemu-arm). Each flavour first installs what it needs (scripts/deps.sh, the
# armhf sysroot); one that cannot be set up says why in one line and the
# others still run. Exits non-zero when any flavour fails or is not set up.
#   scripts/test.sh            all five flavours
#   scripts/test.sh --quick    the plain flavour only (for iteration)
#   scripts/test.sh --flavour asan|tsan|plain|fuzz|armhf
#   scripts/test.sh --fuzz-seconds N   length of each timed fuzz run (30)
set -u
cd "$(dirname "$0")/.."

flavours=(plain asan tsan fuzz armhf)
fuzz_seconds=30
usage="usage: $0 [--quick | --flavour plain|asan|tsan|fuzz|armhf] [--fuzz-seconds N]"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) flavours=(plain) ;;
    --flavour) [ $# -ge 2 ] || { echo "$usage"; exit 2; }; flavours=("$2"); shift ;;
    --fuzz-seconds)
      [ $# -ge 2 ] && [[ "$2" =~ ^[0-9]+$ ]] || { echo "$usage"; exit 2; }
      fuzz_seconds=$2; shift ;;
    *) echo "$usage"; exit 2 ;;
  esac
  shift
done

jobs=$(nproc 2>/dev/null || echo 2)
failed=()
declare -A not_set_up=()
# Installs the flavour's packages (and the board's sysroot); on failure says
# why in one line, taken from the step's own "deps:"/"sysroot:" line.
set_up() {
  local f=$1 log=$2 why
  : >"$log"
  if bash scripts/deps.sh "$f" >>"$log" 2>&1 && { [ "$f" != armhf ] || bash scripts/sysroot.sh >>"$log" 2>&1; }; then
    return 0
  fi
  why=$(grep -E '^(deps|sysroot): ' "$log" | grep -v 'apt-get update' | tail -n 1)
  not_set_up[$f]=${why:-"see $log"}
  echo "flavour $f not set up: ${not_set_up[$f]}"
  return 1
}

for f in "${flavours[@]}"; do
  dir=build
  san=""
  [ "$f" = plain ] || { dir="build-$f"; san="$f"; }
  echo "=== flavour $f ($dir) ==="
  rm -f "$dir.ctest.log"
  set_up "$f" "$dir.deps.log" || { failed+=("$f"); continue; }
  [ "$f" = armhf ] && san=""
  options=(-DORVEL_WERROR=ON -DORVEL_SANITIZE="$san")
  if [ "$f" = fuzz ]; then
    options=(-DORVEL_WERROR=ON -DORVEL_FUZZ=ON -DORVEL_FUZZ_SECONDS="$fuzz_seconds"
             -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++)
  fi
  # The board's build: the cross toolchain, tests under the emulator.
  if [ "$f" = armhf ]; then
    options=(-DORVEL_WERROR=ON -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake)
  fi
  if ! cmake -S . -B "$dir" "${options[@]}" >"$dir.configure.log" 2>&1; then
    tail -n 30 "$dir.configure.log"; echo "configure of flavour $f failed"; failed+=("$f"); continue
  fi
  if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log"; echo "build of flavour $f failed"; failed+=("$f"); continue
  fi
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600) 2>&1 | tee "$dir.ctest.log"
  [ "${PIPESTATUS[0]}" -eq 0 ] || failed+=("$f")
done

# One summary for all flavours, ctest's own lines first, then the totals.
echo
echo "=== summary ==="
passed_total=0
failed_total=0
for f in "${flavours[@]}"; do
  dir=build
  [ "$f" = plain ] || dir="build-$f"
  line=$(grep -E "tests passed, [0-9]+ tests failed out of [0-9]+" "$dir.ctest.log" 2>/dev/null | tail -n 1)
  if [ -n "${not_set_up[$f]:-}" ]; then
    echo "$f: not set up: ${not_set_up[$f]}"
    failed_total=$((failed_total + 1))
    continue
  fi
  if [ -z "$line" ]; then
    echo "$f: not built"
    failed_total=$((failed_total + 1))
    continue
  fi
  echo "$f: $line"
  n_failed=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/')
  n_all=$(echo "$line" | sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/')
  passed_total=$((passed_total + n_all - n_failed))
  failed_total=$((failed_total + n_failed))
done
[ ${#failed[@]} -eq 0 ] || echo "FAILED flavours: ${failed[*]}"
echo "total: $passed_total passed, $failed_total failed"
[ ${#failed[@]} -eq 0 ]
