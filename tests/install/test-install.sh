#!/usr/bin/env bash
# Installs Korvane from a build tree into a scratch prefix and uses it as a
# user would: from another folder, after the prefix is moved, with its manual
# page; checks the exit codes, the output streams, the log folder and the
# quiet `serve`.
# Usage: tests/install/test-install.sh BUILD_DIR
set -euo pipefail
build=$(cd "${1:?build folder}" && pwd)
scratch=$(mktemp -d)
serve_pid=
cleanup() {
  [ -n "$serve_pid" ] && kill "$serve_pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
expect_code() {  # expected-code command...
  local want=$1; shift
  set +e; "$@" >"$scratch/out" 2>"$scratch/err"; local got=$?; set -e
  [ "$got" -eq "$want" ] || { cat "$scratch/out" "$scratch/err" >&2; fail "exit code $got, not $want: $*"; }
}

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
for f in bin/korvane share/korvane/Formula-v6.cgt share/korvane/help/RTF_WELCOME.html \
         share/doc/korvane/user-manual.html share/doc/korvane/examples/binary_choice_task.py \
         share/man/man1/korvane.1 share/applications/korvane.desktop \
         share/icons/hicolor/scalable/apps/korvane.svg share/mime/packages/korvane.xml; do
  [ -f "$scratch/prefix/$f" ] || fail "not installed: $f"
done
[ ! -e "$scratch/prefix/bin/resources" ] || fail "resources installed into bin/"
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$scratch/prefix/share/applications/korvane.desktop" || fail "desktop entry"
fi

# Every run keeps its files in the scratch folder; nothing reads the build tree.
export KORVANE_DATA_DIR="$scratch/data"
unset KORVANE_RESOURCE_DIR
mkdir -p "$scratch/elsewhere"
cd "$scratch/elsewhere"

korvane="$scratch/prefix/bin/korvane"
[ "$("$korvane" --version)" = "korvane $version" ] || fail "--version: $("$korvane" --version)"
out=$("$korvane" formula run "X = 2 ** 3 ** 2")
grep -qx "X=64" <<<"$out" || fail "formula run from the prefix: $out"

# The whole prefix moved: the grammar table is still found.
mv "$scratch/prefix" "$scratch/moved"
korvane="$scratch/moved/bin/korvane"
out=$("$korvane" formula run "X = 1")
grep -qx "X=1" <<<"$out" || fail "formula run after the move: $out"

# A lone copy of the program says where the grammar table belongs.
cp "$korvane" "$scratch/elsewhere/korvane"
expect_code 1 "$scratch/elsewhere/korvane" formula run "X = 1"
grep -q "Formula-v6.cgt" "$scratch/err" "$scratch/out" || fail "lone copy: no word of the grammar table"

# The manual page renders and names every command.
if command -v man >/dev/null; then
  page=$(MANWIDTH=80 man -l "$scratch/moved/share/man/man1/korvane.1" 2>&1)
  for word in NAME SYNOPSIS "EXIT STATUS" "korvane serve" "korvane formula run" "korvane demo" "--version"; do
    grep -q -- "$word" <<<"$page" || fail "manual page lacks $word"
  done
fi

# Exit codes and output streams.
expect_code 0 "$korvane" --help
expect_code 2 "$korvane" no-such-command
expect_code 2 "$korvane" info
expect_code 2 "$korvane" demo --port 70000
expect_code 2 "$korvane" formula run "X = Y" Y
grep -q "NAME=VALUE" "$scratch/err" || fail "malformed variable: no message"
expect_code 1 "$korvane" info "$scratch/no-such.mdb"
[ ! -s "$scratch/out" ] || fail "an error printed on standard output"
grep -q "no-such.mdb" "$scratch/err" || fail "missing file: no message on standard error"
expect_code 1 "$korvane" formula run "X = LN(0)"
grep -q "Error #5" "$scratch/err" || fail "LN(0): $(cat "$scratch/err")"
expect_code 0 "$korvane" new "$scratch/empty.mdb"
expect_code 2 "$korvane" check "$scratch/empty.mdb" --type I1

# Logs go to the state folder when KORVANE_DATA_DIR is not set.
(
  unset KORVANE_DATA_DIR
  export XDG_STATE_HOME="$scratch/state" XDG_DATA_HOME="$scratch/share"
  "$korvane" demo --subjects 1 --trials 3 >"$scratch/demo.out"
)
ls "$scratch/state/korvane/logs/"*.txt >/dev/null 2>&1 || fail "no log in \$XDG_STATE_HOME/korvane/logs"
[ ! -e "$scratch/share/Korvane/logs" ] || fail "logs still in the data folder"
grep -q "Log:.*$scratch/state/korvane/logs/" "$scratch/demo.out" || fail "demo does not name the log"

# serve: a line per subject and a summary; no engine steps without -v.
"$korvane" example binary-choice "$scratch/model.mdb" >/dev/null
"$korvane" serve "$scratch/model.mdb" --port 0 --clock simulated >"$scratch/serve.out" 2>"$scratch/serve.err" &
serve_pid=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/^Serving .* at 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$scratch/serve.out")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || fail "serve did not say its port: $(cat "$scratch/serve.out" "$scratch/serve.err")"
"$korvane" task binary-choice --port "$port" --subjects 2 --trials 4 >/dev/null
for _ in $(seq 100); do grep -q "^Run stopped" "$scratch/serve.out" && break; sleep 0.1; done
kill -TERM "$serve_pid"; wait "$serve_pid" || fail "serve did not stop cleanly"; serve_pid=
grep -q "^Subject 1 (I1): 4 decisions$" "$scratch/serve.out" || fail "serve: no subject line"
grep -q "^Subject 2 (I1): 4 decisions$" "$scratch/serve.out" || fail "serve: no second subject line"
grep -q "^Run stopped: 2 subjects, 8 decisions" "$scratch/serve.out" || fail "serve: no summary"
grep -q "^Experiment database: $scratch/model-" "$scratch/serve.out" || fail "serve: no experiment database line"
! grep -q "Received CUES" "$scratch/serve.out" || fail "serve printed engine steps without -v"
echo "install tree: all checks passed"
