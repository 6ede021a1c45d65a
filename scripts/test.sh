#!/usr/bin/env bash
# Builds everything and runs every test with ctest in three flavours: plain
# (warnings as errors), AddressSanitizer+UndefinedBehaviorSanitizer, and
# ThreadSanitizer. Exits non-zero when any flavour fails.
#   scripts/test.sh            all three flavours
#   scripts/test.sh --quick    the plain flavour only (for iteration)
#   scripts/test.sh --flavour asan|tsan|plain
set -u
cd "$(dirname "$0")/.."
bash scripts/deps.sh || exit 1

flavours=(plain asan tsan)
case "${1:-}" in
  --quick) flavours=(plain) ;;
  --flavour) flavours=("$2") ;;
  "") ;;
  *) echo "usage: $0 [--quick | --flavour plain|asan|tsan]"; exit 2 ;;
esac

jobs=$(nproc 2>/dev/null || echo 2)
failed=()
for f in "${flavours[@]}"; do
  dir=build
  san=""
  [ "$f" = plain ] || { dir="build-$f"; san="$f"; }
  echo "=== flavour $f ($dir) ==="
  if ! cmake -S . -B "$dir" -DORVEL_WERROR=ON -DORVEL_SANITIZE="$san" >"$dir.configure.log" 2>&1; then
    tail -n 30 "$dir.configure.log"; echo "configure of flavour $f failed"; failed+=("$f"); continue
  fi
  if ! cmake --build "$dir" -j"$jobs" >"$dir.build.log" 2>&1; then
    tail -n 60 "$dir.build.log"; echo "build of flavour $f failed"; failed+=("$f"); continue
  fi
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600) || failed+=("$f")
done
echo
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED flavours: ${failed[*]}"
  exit 1
fi
echo "All flavours passed: ${flavours[*]}"
