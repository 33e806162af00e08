#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages), once.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libnifti2-dev zlib1g-dev libcairo2-dev libeigen3-dev libgdcm-dev dcm2niix
  libdcmtk-dev dcmtk libgdcm-tools
  valgrind clang clang-format-14 clang-tidy-14 libclang-rt-14-dev python3
  g++-mingw-w64-x86-64-posix wine64 wine
  libcpp-httplib-dev nlohmann-json3-dev chromium nodejs
  slurm-wlm munge
)

sudo_cmd=()
[[ $(id -u) -eq 0 ]] || sudo_cmd=(sudo)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# npm: Debian's, where Node.js came without it (NodeSource's nodejs has its own).
if ! command -v npm >/dev/null; then
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends npm
fi
# The live view's browser test drives Debian's Chromium with playwright-core,
# installed from test/browser/package-lock.json; no browser is ever downloaded.
browser_test="$(dirname "$0")/../test/browser"
if [[ ! -f "$browser_test/node_modules/.package-lock.json" ||
      "$browser_test/package-lock.json" -nt "$browser_test/node_modules/.package-lock.json" ]]; then
  (cd "$browser_test" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi
