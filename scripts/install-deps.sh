#!/usr/bin/env bash
# Installs, with apt, whatever a fresh machine lacks for building and testing.
# Usage: install-deps.sh [bench]   ("bench" adds librsync's rdiff, the peer)
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

have_cmd cmake || need+=(cmake)
have_cmd g++ || need+=(g++)
have_pkg libgtest-dev || need+=(libgtest-dev)
have_pkg libssl-dev || need+=(libssl-dev)
have_pkg zlib1g-dev || need+=(zlib1g-dev)
have_pkg libdeflate-dev || need+=(libdeflate-dev)   # the block tables' adler32
have_cmd x86_64-w64-mingw32-g++ || need+=(g++-mingw-w64-x86-64)
# The matcher's 32-bit Windows module, and the static zlib of both builds.
have_cmd i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686)
have_pkg libz-mingw-w64-dev || need+=(libz-mingw-w64-dev)
have_cmd wine || need+=(wine wine64)
# Wine's 32-bit side runs the matcher's 32-bit Windows tests; it comes from
# the i386 architecture, which dpkg must be told of first.
have_pkg wine32:i386 || need+=(wine32:i386)
# The fuzz targets: clang and its libFuzzer and sanitizer runtimes.
have_cmd clang++ || need+=(clang)
# The one code style: make format-check, which make test runs.
have_cmd clang-format || need+=(clang-format)
have_pkg libclang-rt-dev || have_pkg "libclang-rt-$(clang++ -dumpversion 2>/dev/null | cut -d. -f1)-dev" \
  || need+=(libclang-rt-dev)
have_cmd git || need+=(git)   # the watcher's host-model test clones this repository
have_pkg python3-wheel-whl || need+=(python3-wheel-whl)   # pip install . offline, in the packaging test
if [ "${1:-}" = bench ]; then
  have_cmd rdiff || need+=(rdiff)
fi

if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  case " ${need[*]} " in
    *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
  esac
  apt-get update -qq
  apt-get install -y -qq "${need[@]}"
fi
