#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when something is
# missing (a machine of this kind usually has them all): the Linux tool
# chain, and the MinGW-w64 cross compilers and Wine for the Win32 build and
# its tests. The Win32 packages come first, early: installing them upgrades
# some amd64 libraries to match their i386 twins.
set -euo pipefail
sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
missing() {
  local p
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || echo "$p"
  done
}
updated=""
# install [--no-install-recommends] package...
install() {
  local options=()
  if [ "${1:-}" = --no-install-recommends ]; then
    options+=("$1")
    shift
  fi
  [ $# -gt 0 ] || return 0
  echo "installing: $*"
  if [ -z "$updated" ]; then
    $sudo_cmd apt-get update -qq
    updated=1
  fi
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${options[@]}" "$@"
}

win32_packages=(g++-mingw-w64-i686-posix wine wine32:i386)
win32_missing=($(missing "${win32_packages[@]}"))
if [ ${#win32_missing[@]} -gt 0 ]; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo_cmd dpkg --add-architecture i386
    updated=""
  fi
  install --no-install-recommends "${win32_missing[@]}"
fi

packages=(cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev libclang-rt-14-dev pkg-config
  libsqlite3-dev nlohmann-json3-dev)
install $(missing "${packages[@]}")
