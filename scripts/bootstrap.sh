#!/usr/bin/env bash
# Brings a fresh Debian 12 machine to the state the build needs: packages,
# the Crypto++ cross-build for mingw (cached outside the build tree, keyed by
# version and flags), and reusable wine prefixes. Safe to run again: every
# step checks first and a warm run takes seconds.
set -euo pipefail

KZ_CACHE="${KZ_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kzinstaller}"
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
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev mingw-w64-tools
  wine wine32:i386 wine64 xvfb x11-apps imagemagick xdotool
  osslsigncode openssl
  libcrypto++-dev zlib1g-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  libcli11-dev libtomlplusplus-dev nlohmann-json3-dev
  clang libclang-rt-14-dev llvm lld valgrind nsis strace
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

# ---- Crypto++ for mingw ----------------------------------------------------
# i686 is the product; x86_64 builds the same sources for tests under wine64
# on machines that cannot execute 32-bit code.
version=$(dpkg-query -W -f='${Version}' libcrypto++-dev)
build_cryptopp() {  # triplet link-name
  local triplet=$1 cxx="$1-g++-win32" flags="-O2 -DNDEBUG" root key work
  [ "$triplet" = i686-w64-mingw32 ] && flags="$flags -march=i686 -msse2 -mfpmath=sse"
  key=$(printf '%s|%s|%s' "$cxx" "$flags" "$CRYPTOPP_MACROS" | sha256sum | cut -c1-12)
  root="$KZ_CACHE/cryptopp-$triplet-${version//[^A-Za-z0-9.]/_}-$key"
  if [ -f "$root/lib/libcryptopp.a" ]; then
    say "Crypto++ $version for $triplet cached in $root"
  else
    say "cross-building Crypto++ $version for $triplet (about 3 minutes)"
    mkdir -p "$KZ_CACHE"
    work=$(mktemp -d "$KZ_CACHE/build.XXXXXX")
    (
      cd "$work"
      apt-get source -qq libcrypto++ >/dev/null 2>&1 || die "apt-get source libcrypto++ failed (is deb-src enabled?)"
      cd "$(find . -maxdepth 1 -type d -name 'libcrypto++-*' | head -n1)"
      make -s -f GNUmakefile -j"$(nproc)" static CXX="$cxx" AR="$triplet-ar" RANLIB="$triplet-ranlib" \
        CXXFLAGS="$flags $CRYPTOPP_MACROS" >build.log 2>&1 || { tail -30 build.log; die "Crypto++ build failed"; }
      rm -rf "$root.partial"
      mkdir -p "$root.partial/lib" "$root.partial/include/cryptopp"
      cp "$(ls libcryptopp.a libcrypto++.a 2>/dev/null | head -n1)" "$root.partial/lib/libcryptopp.a"
      cp ./*.h "$root.partial/include/cryptopp/"
      printf '%s\n' $CRYPTOPP_MACROS | sed 's/^-D//' >"$root.partial/config-macros.txt"
      mv "$root.partial" "$root"   # only a complete build gets the final name
    )
    rm -rf "$work"
  fi
  ln -sfn "$root" "$KZ_CACHE/$2"
}
build_cryptopp i686-w64-mingw32 cryptopp-mingw
build_cryptopp x86_64-w64-mingw32 cryptopp-mingw64

# ---- wine prefixes ----------------------------------------------------------
# Some virtual machines run 64-bit user code only: 32-bit ELF programs, and
# with them wine's 32-bit loader, fail with ENOEXEC. There the Windows tests
# run as 64-bit builds under wine64.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then CAN_RUN_32=1; else CAN_RUN_32=""; fi
make_prefix() {  # name arch loader
  local prefix="$KZ_CACHE/$1"
  if [ -f "$prefix/system.reg" ]; then
    say "wine prefix $prefix ready"
    return
  fi
  say "creating wine prefix $prefix ($2, about 20 s)"
  rm -rf "$prefix"
  WINEPREFIX="$prefix" WINEARCH="$2" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    "$3" wineboot -i </dev/null >/dev/null 2>&1 || true
  WINEPREFIX="$prefix" wineserver -w
  [ -f "$prefix/system.reg" ] || die "wineboot did not create $prefix"
}
mkdir -p "$KZ_CACHE"
make_prefix wine64 win64 /usr/lib/wine/wine64
if [ -n "$CAN_RUN_32" ]; then
  make_prefix wine32 win32 /usr/lib/wine/wine
else
  say "this machine cannot execute 32-bit code: no 32-bit wine prefix; Windows tests run as 64-bit builds"
fi

say "done: Crypto++ for mingw in $KZ_CACHE/cryptopp-mingw and $KZ_CACHE/cryptopp-mingw64"
