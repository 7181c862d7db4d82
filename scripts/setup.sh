#!/usr/bin/env bash
# Installs what building and testing vornex needs on a Debian machine.
# Safe to run again: apt and pip skip what is already there.
set -euo pipefail

packages=(
  build-essential g++ ninja-build pkg-config
  libsodium-dev libssl-dev libargon2-dev libutf8proc-dev
  libgtest-dev libbenchmark-dev nlohmann-json3-dev
  clang-19 libclang-rt-19-dev
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -q
  "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# CMake comes from PyPI: Debian 12's is older than the build needs.
python3 -m pip install -q --disable-pip-version-check --root-user-action=ignore \
  'cmake>=3.26' 'scikit-build-core>=0.10' 'pytest>=7' 'cryptography>=41' 'mypy>=1.10'
