#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with. Idempotent: it only
# calls apt-get when a package is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  omniorb omniidl libomniorb4-dev
  libxml2-dev libssl-dev
  postgresql postgresql-client libpq-dev
  libssh-dev openssh-server
  nats-server libnats-dev
  libcpp-httplib-dev nlohmann-json3-dev libpam0g-dev
  libsmbclient-dev samba-dev
  samba smbclient iproute2
  dpkg-dev fakeroot lintian
)
# The web console's browser test drives headless Chromium; only the test command asks for it.
if [ "${1:-}" = "--browser" ]; then
  packages+=(chromium chromium-driver)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
