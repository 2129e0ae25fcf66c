#!/bin/sh
# Installs the Debian packages the build and the tests need, if any is missing.
set -eu
packages="cmake ninja-build g++ g++-multilib pkg-config libunicorn-dev libcapstone-dev \
googletest libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev \
console-setup-linux zlib1g-dev libsdl2-dev libgif-dev libpng-dev xvfb x11-apps x11-utils xdotool \
clang libclang-rt-14-dev libdw-dev gdb lcov"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "setup: installing$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends $missing
