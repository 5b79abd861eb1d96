#!/usr/bin/env bash
# Sets up, builds and runs Korvane's main job in one command: the example
# model is created in the data folder, served on a free loopback port, driven
# by the binary-choice sample task (100 simulated subjects x 100 trials by
# default), and its trace exported; the learning curve and the paths of the
# model, experiment database, log and CSV are printed.
#   scripts/run-demo.sh [--subjects N] [--trials M] [--seed S]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build_dir=${KORVANE_BUILD_DIR:-build}
exec "$build_dir"/bin/korvane demo "$@"
