#!/usr/bin/env bash
# Builds the 32-bit Stub.exe again from nothing and compares it with a given
# one byte for byte: the checked-in sources are copied into a new folder, the
# stub's Crypto++ and libdeflate are built from their Debian sources into an
# empty cache folder (scripts/bootstrap.sh stub), and the stub is built
# without ccache in a build folder of its own.
#   scripts/rebuild-stub.sh STUB [WORK]
# WORK (default: a new temporary folder, removed afterwards) keeps the copy,
# the cache and the build. Exit 0 when the bytes are the same, 1 otherwise.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] && [ -f "$1" ] || { echo "usage: scripts/rebuild-stub.sh STUB [WORK]" >&2; exit 2; }
shipped=$(readlink -f "$1")
if [ -n "${2:-}" ]; then
  work=$2
  mkdir -p "$work"
else
  work=$(mktemp -d "${TMPDIR:-/tmp}/kz-rebuild-stub.XXXXXX")
  trap 'rm -rf "$work"' EXIT
fi
work=$(readlink -f "$work")
start=$(date +%s)

# The sources as the commit holds them (and as the working tree has them).
src=$work/source
rm -rf "$src" && mkdir -p "$src"
(cd "$here" && git ls-files -z | xargs -0 cp --parents -t "$src" 2>/dev/null) \
  || { echo "rebuild-stub: could not copy the sources" >&2; exit 1; }

cache=$work/cache
rm -rf "$cache" && mkdir -p "$cache"
KZ_CACHE=$cache "$src/scripts/bootstrap.sh" stub

# No compiler launcher: ccache would hand back the first build's objects.
build=$work/build
rm -rf "$build"
env -u CMAKE_C_COMPILER_LAUNCHER -u CMAKE_CXX_COMPILER_LAUNCHER CCACHE_DISABLE=1 \
  cmake -G "Unix Makefiles" -S "$src" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DKZ_BUILD_TESTS=OFF -DKZ_CRYPTOPP_ROOT="$cache/cryptopp-mingw" -DKZ_LIBDEFLATE_ROOT="$cache/libdeflate-mingw" >/dev/null
env CCACHE_DISABLE=1 cmake --build "$build" -j2 --target Stub >/dev/null
rebuilt=$build/InstallerLogic/Stub.exe
echo "rebuilt in $(( $(date +%s) - start )) s from $src"

stamp() { i686-w64-mingw32-objdump -p "$1" | sed -n 's/^Time\/Date[[:space:]]*//p'; }
printf '%s  %s (time stamp: %s)\n' "$(sha256sum <"$shipped" | cut -d' ' -f1)" "$shipped" "$(stamp "$shipped")"
printf '%s  %s (time stamp: %s)\n' "$(sha256sum <"$rebuilt" | cut -d' ' -f1)" "$rebuilt" "$(stamp "$rebuilt")"
if cmp "$shipped" "$rebuilt"; then
  echo "the rebuilt stub is the same bytes"
else
  echo "rebuild-stub: the rebuilt stub differs (cmp above); compare with: diffoscope $shipped $rebuilt" >&2
  exit 1
fi
