#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, but only those that are missing.
# (flac, the command-line tool, only makes the FLAC material of the tests; rsvg-convert, of
# librsvg2-bin, only renders the pictures the tests check.)
# Usage: scripts/install-deps.sh [extra packages...]
set -euo pipefail

packages=(build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
          libgcrypt20-dev libgpg-error-dev libflac-dev nlohmann-json3-dev zlib1g-dev flac librsvg2-bin groff-base man-db bzip2 xz-utils valgrind "$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 && sudo="sudo" || { echo "install-deps: need root to install: ${missing[*]}" >&2; exit 1; }
fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
