#!/usr/bin/env bash
# Sets up, builds and runs every test of Korvane.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
build_dir=${KORVANE_BUILD_DIR:-build}
export QT_QPA_PLATFORM=offscreen
export KORVANE_DATA_DIR=${KORVANE_DATA_DIR:-$(mktemp -d)}
ctest --test-dir "$build_dir" --output-on-failure --parallel "$(nproc)" --timeout 300
# The Python package and the examples, against the program just built, with
# Debian's Python (its pytest and pandas), not whichever python3 is first on
# PATH.
python=${KORVANE_PYTHON:-/usr/bin/python3}
[ -x "$python" ] || python=python3
export KORVANE_BIN=${KORVANE_BIN:-$(cd "$build_dir" && pwd)/bin/korvane}
"$python" -m pytest -q -p no:cacheprovider python/tests
# Again against the package as a user installs it: `pip install ./python`
# (offline) into a virtual environment that sees Debian's packages.
venv=$(mktemp -d)
trap 'rm -rf "$venv"' EXIT
"$python" -m venv --system-site-packages "$venv"
KORVANE_BUILD_DIR=$(cd "$build_dir" && pwd) "$venv/bin/pip" install --no-index --quiet ./python
KORVANE_TEST_INSTALLED=1 "$venv/bin/python" -m pytest -q -p no:cacheprovider python/tests
# A sweep through a single-node Slurm cluster started for the test (skipped,
# with the reason, where the daemons cannot start).
KORVANE_BUILD_DIR="$build_dir" scripts/test-slurm.sh
