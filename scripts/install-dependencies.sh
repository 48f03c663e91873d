#!/usr/bin/env bash
# Installs the libraries the build needs when the machine lacks them (Debian):
# ISA-L and libzstd inflate gzip and zstd input, pkg-config finds them, the
# tests write gzip data with zlib and run on GoogleTest. Does nothing when all
# are there; needs root (or sudo) otherwise.
set -euo pipefail
libraries=()
[ -f /usr/include/isa-l/igzip_lib.h ] || libraries+=(libisal-dev)
[ -f /usr/include/zstd.h ] || libraries+=(libzstd-dev)
[ -f /usr/include/zlib.h ] || libraries+=(zlib1g-dev)
[ -f /usr/include/gtest/gtest.h ] || libraries+=(libgtest-dev libgmock-dev)
command -v pkg-config > /dev/null || libraries+=(pkg-config)
[ ${#libraries[@]} -eq 0 ] && exit 0
echo "== installing ${libraries[*]}"
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq "${libraries[@]}" > /dev/null
