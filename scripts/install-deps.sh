#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the fuzzers and the benchmarks need.
# Quiet when everything is already there.
set -euo pipefail

packages=(
    # build
    cmake g++ make pkg-config
    libnss3-dev libxml2-dev libcurl4-openssl-dev libgtk-3-dev libgcr-3-dev libp11-kit-dev
    # tests
    libgtest-dev libgmock-dev libbenchmark-dev libnss3-tools softhsm2 opensc xmlsec1 openssl
    python3 python3-websockets xvfb xauth xdotool x11-apps x11-utils imagemagick xdg-utils
    desktop-file-utils libglib2.0-bin fonts-droid-fallback locales chromium
    ca-certificates curl
    # benchmarks that compare with a peer tool (wall time and peak memory)
    time bc
    # fuzzing and sanitizers
    clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
    # No pipe into grep -q: under pipefail its early exit can fail dpkg-query with SIGPIPE.
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
