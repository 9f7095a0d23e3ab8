#!/usr/bin/env bash
# Brings a fresh Debian 12 machine to the state the build needs: packages,
# the Crypto++ cross-build for mingw (cached outside the build tree, keyed by
# version and flags), and reusable wine prefixes. Safe to run again: every
# step checks first and a warm run takes seconds.
set -euo pipefail

KZ_CACHE="${KZ_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kzinstaller}"
MINGW_CXX=i686-w64-mingw32-g++-win32
MINGW_AR=i686-w64-mingw32-ar
MINGW_RANLIB=i686-w64-mingw32-ranlib
# Optimised code paths with runtime CPU detection; nothing disabled.
CRYPTOPP_CXXFLAGS="-O2 -DNDEBUG -march=i686 -msse2 -mfpmath=sse"
# The library and every consumer must agree on these (Windows 7 API level).
CRYPTOPP_MACROS="-D_WIN32_WINNT=0x0601"

say() { printf '\033[1m[bootstrap]\033[0m %s\n' "$*"; }
die() { printf '[bootstrap] error: %s\n' "$*" >&2; exit 1; }
trap 'die "step failed at line $LINENO; fix the cause above and run scripts/bootstrap.sh again"' ERR

SUDO=""
if [ "$(id -u)" != 0 ]; then
  command -v sudo >/dev/null || die "run as root or install sudo"
  SUDO=sudo
fi

PACKAGES=(
  build-essential cmake ninja-build pkg-config git python3 dpkg-dev
  g++-mingw-w64-i686 libz-mingw-w64-dev mingw-w64-tools
  wine wine32:i386 wine64 xvfb x11-apps imagemagick xdotool
  osslsigncode openssl
  libcrypto++-dev zlib1g-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcli11-dev libtomlplusplus-dev nlohmann-json3-dev
  clang libclang-rt-14-dev llvm valgrind nsis
)

# ---- packages ---------------------------------------------------------------
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  say "adding the i386 architecture (for wine32)"
  $SUDO dpkg --add-architecture i386
  NEED_UPDATE=1
fi
SOURCES=/etc/apt/sources.list.d/debian.sources
if [ -f "$SOURCES" ] && grep -q '^Types: deb$' "$SOURCES"; then
  say "enabling deb-src in $SOURCES (for apt-get source libcrypto++)"
  $SUDO sed -i 's/^Types: deb$/Types: deb deb-src/' "$SOURCES"
  NEED_UPDATE=1
fi
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${NEED_UPDATE:-}" ]; then
  say "apt-get update"
  $SUDO apt-get update -qq
fi
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${#missing[@]} packages: ${missing[*]}"
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
else
  say "all ${#PACKAGES[@]} packages present"
fi

# ---- Crypto++ for mingw -----------------------------------------------------
version=$(dpkg-query -W -f='${Version}' libcrypto++-dev)
flagkey=$(printf '%s|%s|%s' "$MINGW_CXX" "$CRYPTOPP_CXXFLAGS" "$CRYPTOPP_MACROS" | sha256sum | cut -c1-12)
CRYPTOPP_ROOT="$KZ_CACHE/cryptopp-mingw-${version//[^A-Za-z0-9.]/_}-$flagkey"
if [ -f "$CRYPTOPP_ROOT/lib/libcryptopp.a" ]; then
  say "Crypto++ $version for mingw cached in $CRYPTOPP_ROOT"
else
  say "cross-building Crypto++ $version for mingw (about 2-4 minutes)"
  work=$(mktemp -d "$KZ_CACHE.build.XXXXXX" 2>/dev/null || { mkdir -p "$KZ_CACHE"; mktemp -d "$KZ_CACHE/build.XXXXXX"; })
  (
    cd "$work"
    apt-get source -qq libcrypto++ >/dev/null 2>&1 || die "apt-get source libcrypto++ failed (is deb-src enabled?)"
    cd "$(find . -maxdepth 1 -type d -name 'libcrypto++-*' | head -n1)"
    make -s -f GNUmakefile -j"$(nproc)" static CXX="$MINGW_CXX" AR="$MINGW_AR" RANLIB="$MINGW_RANLIB" \
      CXXFLAGS="$CRYPTOPP_CXXFLAGS $CRYPTOPP_MACROS" >build.log 2>&1 || { tail -30 build.log; die "Crypto++ build failed"; }
    staging="$CRYPTOPP_ROOT.partial"
    rm -rf "$staging"
    mkdir -p "$staging/lib" "$staging/include/cryptopp"
    cp "$(ls libcryptopp.a libcrypto++.a 2>/dev/null | head -n1)" "$staging/lib/libcryptopp.a"
    cp ./*.h "$staging/include/cryptopp/"
    printf '%s\n' $CRYPTOPP_MACROS | sed 's/^-D//' >"$staging/config-macros.txt"
    mv "$staging" "$CRYPTOPP_ROOT"   # only a complete build gets the final name
  )
  rm -rf "$work"
fi
ln -sfn "$CRYPTOPP_ROOT" "$KZ_CACHE/cryptopp-mingw"

# ---- wine prefixes ----------------------------------------------------------
make_prefix() {  # name arch
  local prefix="$KZ_CACHE/$1"
  if [ -f "$prefix/system.reg" ]; then
    say "wine prefix $prefix ready"
    return
  fi
  say "creating wine prefix $prefix ($2, about 20 s)"
  rm -rf "$prefix"
  WINEPREFIX="$prefix" WINEARCH="$2" WINEDEBUG=-all wineboot -i </dev/null >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" wineserver -w
  [ -f "$prefix/system.reg" ] || die "wineboot did not create $prefix"
}
mkdir -p "$KZ_CACHE"
make_prefix wine64 win64
make_prefix wine32 win32

say "done: KZ_CRYPTOPP_ROOT=$KZ_CACHE/cryptopp-mingw"
