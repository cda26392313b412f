#!/usr/bin/env bash
# Installs what the build needs on Debian 12, only the packages that are missing.
# Usage: scripts/setup.sh [extra packages...]
set -euo pipefail

packages=(cmake g++ make pkg-config libgtest-dev libspdlog-dev libavformat-dev libavcodec-dev
          libavutil-dev libswresample-dev ffmpeg nlohmann-json3-dev libcli11-dev
          libcpp-httplib-dev chromium nodejs
          gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
          gstreamer1.0-plugins-bad "$@")
# npm comes with the machine image's node; Debian's own only where there is none.
command -v npm >/dev/null || packages+=(npm)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
