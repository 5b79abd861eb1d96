#!/usr/bin/env bash
# Sets up, builds and runs Korvane's main job: a model is created and shown.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build_dir=${KORVANE_BUILD_DIR:-build}
model=$(mktemp -d)/demo.mdb
"$build_dir"/bin/korvane new "$model"
"$build_dir"/bin/korvane info "$model"
