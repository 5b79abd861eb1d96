#!/usr/bin/env bash
# Takes a picture of the main window and of every screen on the example
# model, under a virtual X display (Xvfb, 1024 by 768), into docs/screenshots.
# Needs the Debian packages xvfb and xauth (scripts/setup.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=${KORVANE_BUILD_DIR:-build}
if [ ! -f "$build_dir/build.ninja" ]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build_dir" --target korvane test_editor --parallel 2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
out="$PWD/docs/screenshots"
mkdir -p "$out"
# Settings and data of this run stay in the scratch folder.
export XDG_CONFIG_HOME="$work/config" KORVANE_DATA_DIR="$work/data"

# A short run of the demo leaves the example model with an experiment
# database beside it, so the export and graph screens have a run to show.
"$build_dir/bin/korvane" demo --subjects 20 --trials 60 > "$work/demo.txt"
model="$KORVANE_DATA_DIR/demo/binary-choice.mdb"
experiment=$(ls "$KORVANE_DATA_DIR"/demo/binary-choice-*.mdb | head -n 1)
# The graph of that run, drawn headless, for the README.
"$build_dir/bin/korvane" plot "$experiment" --type I1 -o "$out/run-graph.png"
KORVANE_SCREENSHOT_DIR="$out" KORVANE_SCREENSHOT_MODEL="$model" KORVANE_BIN_DIR="$PWD/$build_dir/bin" \
  xvfb-run -a -s "-screen 0 1024x768x24" env QT_QPA_PLATFORM=xcb \
  "$build_dir/bin/test_editor" --gtest_filter='EditorTest.Screenshots'
echo "Screenshots in $out:"
ls "$out"
