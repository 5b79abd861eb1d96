#!/usr/bin/env bash
# Builds Korvane's .deb with CPack, unpacks it into a scratch root and runs the
# program from there: --version, a formula, and the demo. Checks the package's
# name and that every dependency it declares is a Debian package this machine
# has installed.
# Usage: scripts/test-deb.sh [--no-build] [BUILD_DIR]   (default $KORVANE_BUILD_DIR or build)
set -euo pipefail
build_first=1
if [ "${1:-}" = "--no-build" ]; then build_first=0; shift; fi
cd "$(dirname "$0")/.."
build=$(cd "${1:-${KORVANE_BUILD_DIR:-build}}" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

[ "$build_first" -eq 0 ] || cmake --build "$build" --target korvane -j2
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
deb="$scratch/out/korvane_${version}_${arch}.deb"
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$scratch/out")"
echo "Built $(basename "$deb") ($(du -h "$deb" | cut -f1))"

# Every declared dependency names a package that is installed here.
depends=$(dpkg-deb --field "$deb" Depends)
echo "Depends: $depends"
grep -q "libqt6widgets6" <<<"$depends" || fail "no Qt dependency found by dpkg-shlibdeps"
IFS=',' read -ra groups <<<"$depends"
for group in "${groups[@]}"; do
  ok=0
  IFS='|' read -ra alternatives <<<"$group"
  for alternative in "${alternatives[@]}"; do
    name=$(awk '{print $1}' <<<"$alternative")
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q "install ok installed" && ok=1
  done
  [ "$ok" -eq 1 ] || fail "dependency not installed on this machine: $group"
done

# Unpacked into a scratch root, run from an unrelated folder.
dpkg-deb -x "$deb" "$scratch/root"
dpkg-deb -c "$deb" >"$scratch/contents"
grep -q "./usr/share/man/man1/korvane.1" "$scratch/contents" || fail "no manual page in the package"
export LD_LIBRARY_PATH="$scratch/root/usr/lib/$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
export KORVANE_DATA_DIR="$scratch/data"
unset KORVANE_RESOURCE_DIR
korvane="$scratch/root/usr/bin/korvane"
cd "$scratch"
echo "\$ korvane --version"
out=$("$korvane" --version); echo "$out"
[ "$out" = "korvane $version" ] || fail "--version printed: $out"
echo "\$ korvane formula run \"X = 1\""
out=$("$korvane" formula run "X = 1"); echo "$out"
grep -qx "X=1" <<<"$out" || fail "formula run"
echo "\$ korvane demo --subjects 2 --trials 5"
out=$("$korvane" demo --subjects 2 --trials 5); echo "$out"
grep -q "^10 decisions in" <<<"$out" || fail "demo"
if [ -d "$scratch/root/usr/lib/python3/dist-packages/korvane" ]; then
  where=$(cd / && PYTHONPATH="$scratch/root/usr/lib/python3/dist-packages" python3 -c \
    "import korvane; print(korvane.__file__); korvane.TaskConnection; korvane.read_trials" 2>&1) || fail "python package: $where"
  [[ "$where" == "$scratch/root/"* ]] || fail "python imported korvane from $where, not from the package"
  echo "Python package: $where"
  if ls "$scratch/root/usr/lib/python3/dist-packages/korvane/"_korvane*.so >/dev/null 2>&1; then
    # The extension: a model checked and run in-process from the package alone.
    out=$(cd "$scratch" && PYTHONPATH="$scratch/root/usr/lib/python3/dist-packages" /usr/bin/python3 -c "
import korvane
model = korvane.example('binary-choice')
assert model.check('I1').ready
model.save('deb-check.mdb')
with korvane.open_run('deb-check.mdb', seed=1, subjects=1) as run:
    run.start('I1')
    run.alternative('I1', Option=1)
    print(run.alternative('I1', Option=2, wait=True).line)
    run.stop('I1')
" 2>&1) || fail "python extension: $out"
    echo "Python extension: $out"
  fi
fi
echo "deb package: all checks passed"
