#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, when it is
# missing. Runs as root or through sudo; does nothing when all is there.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine64 python3 python3-pefile locales
  osslsigncode openssl
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  as_root=(sudo)
fi

if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The code-page 936 tests need the Simplified Chinese locale.
if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf8$'; then
  echo "generating the zh_CN.UTF-8 locale"
  if ! grep -q '^zh_CN.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'zh_CN.UTF-8 UTF-8' | "${as_root[@]}" tee -a /etc/locale.gen >/dev/null
  fi
  "${as_root[@]}" locale-gen >/dev/null
fi
