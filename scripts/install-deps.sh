#!/usr/bin/env bash
# Installs the Debian packages that pelorin needs and the machine lacks.
# Quiet and quick when everything is there; uses sudo when not run as root.
# Usage: scripts/install-deps.sh GROUP...   (groups: build test bench package)
set -euo pipefail

declare -A groups=(
  [build]="cmake g++ make pkg-config zlib1g-dev libasio-dev libcli11-dev libgtest-dev libsystemd-dev qt6-base-dev libgl-dev"
  [test]="python3 util-linux procps xvfb xdotool x11-utils imagemagick trayer python3-pyatspi tesseract-ocr tesseract-ocr-eng dbus clang-14 libclang-rt-14-dev llvm-14"
  [bench]="redis-server gnuplot-nox"
  [package]="scdoc lintian dpkg-dev file systemd iproute2 man-db"
)

wanted=()
for g in "$@"; do
  [[ -n "${groups[$g]+x}" ]] || { echo "install-deps: unknown group '$g'" >&2; exit 2; }
  read -ra pkgs <<<"${groups[$g]}"
  wanted+=("${pkgs[@]}")
done

missing=()
for p in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=()
[[ $(id -u) -eq 0 ]] || sudo=(sudo)
echo "install-deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
if ! "${sudo[@]}" apt-get install -y -q -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null; then
  # A fresh machine may have no package lists yet.
  "${sudo[@]}" apt-get update -q >/dev/null
  "${sudo[@]}" apt-get install -y -q -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
fi
