#!/usr/bin/env bash
# Installs every Debian package Korvane's build, tests and benchmarks need
# (only those missing), then configures and builds into build/.
# Safe to run again: it does only what is left to do.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  g++ cmake ninja-build pkg-config
  qt6-base-dev qt6-charts-dev qt6-svg-dev libqt6opengl6-dev libgl-dev
  libsqlite3-dev sqlite3 libcli11-dev nlohmann-json3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  fonts-dejavu-core fonts-hack python3 python3-dev python3-venv pybind11-dev python3-pytest python3-pandas
  python3-matplotlib xvfb xauth
  dpkg-dev file man-db desktop-file-utils tzdata
  munge slurmctld slurmd slurm-client
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

build_dir=${KORVANE_BUILD_DIR:-build}
launcher=()
# A compiler cache, when the machine has one, makes rebuilds of a fresh clone cheap.
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)"
