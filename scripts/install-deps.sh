#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need, and the
# browser tests' npm packages (tools/browser: puppeteer-core, which drives
# the system's Chromium and never downloads a browser of its own).
# Idempotent: when everything is present it does nothing at all.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libjsoncpp-dev libsqlite3-dev libicu-dev
  libcurl4-openssl-dev libcpp-httplib-dev libfreeimage-dev
  chromium fonts-dejavu-core
  zlib1g-dev unzip python3
  libplist-dev pybind11-dev libpython3-dev uuid-dev
  clang-14 libfuzzer-14-dev
)
# Node runs the browser tests; a node already on the machine is kept.
if ! command -v node >/dev/null 2>&1; then
  packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    sudo=()
  else
    sudo=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update
  "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The browser tests' packages, exactly as the lock file names them, when
# they are missing or older than the lock file.
browser="$(cd "$(dirname "$0")/.." && pwd)/tools/browser"
if [ ! -d "$browser/node_modules" ] || [ "$browser/package-lock.json" -nt "$browser/node_modules" ]; then
  if ! command -v npm >/dev/null 2>&1; then
    echo "npm is missing beside this machine's node: the browser tests will be skipped" >&2
    exit 0
  fi
  echo "Installing the browser tests' npm packages in tools/browser"
  (cd "$browser" && PUPPETEER_SKIP_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund)
  touch "$browser/node_modules"
fi
