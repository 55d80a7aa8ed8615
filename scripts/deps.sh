#!/usr/bin/env bash
# Installs the Debian packages that building and testing kel-safe need, if any
# are missing. Runs apt-get as root (through sudo when not root).
set -euo pipefail
packages=(build-essential cmake pkg-config libssl-dev libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev clang libclang-rt-14-dev valgrind
          dpkg-dev file nlohmann-json3-dev libedit-dev libargon2-dev
          libsodium-dev python3-dotenv groff-base mandoc abigail-tools
          libqrencode-dev)
# The Python package's virtual environment, build backend and tests.
packages+=(python3-venv python3-setuptools python3-pytest)
# A real clipboard for get --clip's test (which is skipped without them).
packages+=(xclip xvfb)
# git, for the test that runs merge-driver as git's merge driver (skipped without it).
packages+=(git)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
run() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
echo "Installing: ${missing[*]}"
run apt-get update -qq
run env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
