#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing Vaultline needs.
# Does nothing when everything is already there; run as root on a fresh machine.
set -euo pipefail

packages=(
  build-essential cmake g++ pkg-config
  libboost-dev libboost-log-dev libboost-program-options-dev libboost-thread-dev
  libboost-date-time-dev libboost-system-dev
  libtinyxml2-dev libsystemd-dev libgtest-dev libgmock-dev nlohmann-json3-dev
  # Fuzzing (libFuzzer comes with clang's runtime libraries) and the memcheck run.
  clang clang-format libclang-rt-14-dev valgrind
  # Packaging and its test: cpack (dpkg-shlibdeps, file), lintian, man pages, systemd-analyze.
  dpkg-dev file lintian man-db groff-base systemd
  # The dead-connection test: a private network namespace whose firewall drops a port.
  iproute2 nftables
  # The boot test: a Debian root, booted with systemd-nspawn and entered with nsenter.
  debootstrap systemd-container util-linux
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}; run this script as root to install them" >&2
  exit 1
fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
