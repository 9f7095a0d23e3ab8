#!/usr/bin/env bash
# Brings a fresh Debian 12 machine to the state the build needs: packages,
# the Crypto++ and libdeflate cross-builds for mingw (cached outside the build
# tree, keyed by version and flags), the way 32-bit Windows programs run here, and reusable
# wine prefixes. Safe to run again: every step checks first and a warm run
# takes seconds.
#   scripts/bootstrap.sh         everything `make test` needs
#   scripts/bootstrap.sh demo    only what `make demo` needs (no 64-bit
#                                Crypto++, no test tools, no 32-bit prefix)
#   scripts/bootstrap.sh stub    only the 32-bit stub's Crypto++ and libdeflate
#                                (with KZ_CACHE an empty folder: they are built
#                                again from source, to rebuild the stub from nothing)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
FOR=${1:-all}
case "$FOR" in all|demo|stub) ;; *) echo "usage: scripts/bootstrap.sh [demo|stub]" >&2; exit 2 ;; esac

KZ_CACHE="${KZ_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/kzinstaller}"
# The library and every consumer must agree on these (Windows 7 API level).
CRYPTOPP_MACROS="-D_WIN32_WINNT=0x0601"
# No build paths in the libraries the stub links: the unpacked source folder
# (a temporary name) is written as "." wherever a compiler would record it, so
# the stub is the same bytes whichever folder built them. @SRC@ is replaced
# by that folder when compiling; the cache keys hold the option as written here.
PREFIX_MAP="-ffile-prefix-map=@SRC@=."

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
  wine wine32:i386 wine64 xvfb
  libcrypto++-dev zlib1g-dev libdeflate-dev libgtest-dev libgmock-dev googletest
  libcli11-dev libtomlplusplus-dev nlohmann-json3-dev
)
if [ "$FOR" = all ]; then
  PACKAGES+=(
    x11-apps imagemagick xdotool osslsigncode openssl libbenchmark-dev
    softhsm2 opensc libengine-pkcs11-openssl
    clang libclang-rt-14-dev llvm lld valgrind nsis strace
    lintian zip unzip man-db
  )
fi

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
  # A mirror caught mid-sync fails one index; the others still serve, and a
  # package that is really missing fails the install below with its name.
  $SUDO apt-get update -qq || say "apt-get update reported errors (above); going on with the indexes it fetched"
fi
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${#missing[@]} packages: ${missing[*]}"
  apt_install() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null; }
  # When one architecture's security index is mid-sync, amd64 and i386 halves
  # of the same library disagree; the main suite's versions always match.
  apt_install "${missing[@]}" 2>/dev/null || {
    say "retrying with the main suite's versions (an index was out of step)"
    apt_install -t bookworm "${missing[@]}"
  }
else
  say "all ${#PACKAGES[@]} packages present"
fi

# ---- how 32-bit Windows programs run ----------------------------------------
# Some virtual machines run 64-bit user code only: 32-bit ELF programs, and
# with them wine's 32-bit loader, fail with ENOEXEC. There the loader runs
# under qemu-i386 from qemu 9 or later (Debian 12's 7.2 spends about a minute
# per process reserving address space), taken from bookworm-backports with a
# pin that lets nothing else in; scripts/wine-run registers it in a private
# binfmt_misc, so no host-wide binfmt package is installed.
qemu_recent() {
  local v
  v=$(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null) || return 1
  v=${v#*:}
  [ "${v%%.*}" -ge 9 ] 2>/dev/null
}
how=$(KZ_WINE_HOW= "$here/wine-run" --how)
if [ "$how" = none ] && ! qemu_recent; then
  BPO=/etc/apt/sources.list.d/kz-bookworm-backports.sources
  PIN=/etc/apt/preferences.d/kz-bookworm-backports
  printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: bookworm-backports" \
    "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" | $SUDO tee "$BPO" >/dev/null
  printf '%s\n' "Package: *" "Pin: release n=bookworm-backports" "Pin-Priority: -10" "" \
    "Package: qemu-user qemu-user-static" "Pin: release n=bookworm-backports" "Pin-Priority: 500" \
    | $SUDO tee "$PIN" >/dev/null
  $SUDO apt-get update -qq >/dev/null 2>&1 || true
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends qemu-user >/dev/null 2>&1 \
    || die "could not install qemu-user from bookworm-backports (apt-get install -t bookworm-backports qemu-user shows why)"
  how=$(KZ_WINE_HOW= "$here/wine-run" --how)
fi
case "$how" in
  native) say "32-bit Windows programs run natively" ;;
  lane) say "32-bit Windows programs run through qemu-i386 $(dpkg-query -W -f='${Version}' qemu-user) in a private binfmt_misc" ;;
  *) say "32-bit Windows programs cannot run here (no 32-bit code, no user-namespace binfmt_misc: kernel 6.7+ needed); the 32-bit build is checked statically" ;;
esac

# ---- Crypto++ for mingw ----------------------------------------------------
# i686 is the product; x86_64 builds the same sources for tests under wine64
# on machines that cannot execute 32-bit code.
version=$(dpkg-query -W -f='${Version}' libcrypto++-dev)
# Size first (Stub.exe ships in every installer), with sections per function
# and datum for the linker's --gc-sections; the digests on the installer's
# hot path keep -O2. dll.o is replaced by scripts/cryptopp_instances.cpp
# (two objects): Stub.exe needs a few of its templates, not every algorithm
# it instantiates.
HOT_OBJECTS="md5.o sha.o sha_simd.o iterhash.o"
# mingw's linker keeps every function that has unwind data (.eh_frame is
# kept whole), so any object that prints to a C++ stream brings the whole
# iostream and locale library, about 0.9 MB, into Stub.exe. In the objects the
# stub links only these print: the Integer stream operators and OID::Print go
# (nothing here uses them; a caller would fail to link, not misbehave).
strip_cryptopp_printing() {
  local file pattern
  # (The sources have CRLF line ends.)
  for pattern in 'integer.cpp:^std::istream& operator>>(std::istream& in, Integer &a)[[:space:]]*$' \
                 'integer.cpp:^std::ostream& operator<<(std::ostream& out, const Integer &a)[[:space:]]*$' \
                 'asn.cpp:^std::ostream& OID::Print(std::ostream& out) const[[:space:]]*$'; do
    file=${pattern%%:*} pattern=${pattern#*:}
    grep -q "$pattern" "$file" || die "Crypto++ $version: '$pattern' not found in $file; update strip_cryptopp_printing"
    sed -i "/$pattern/,/^}[[:space:]]*\$/d" "$file"
  done
  sed -i 's|^#include <iostream>|#include <istream>|' integer.cpp
  sed -i '/^#include <iostream>/d; /^#include <sstream>/d' asn.cpp
}
build_cryptopp() {  # triplet link-name
  local triplet=$1 cxx="$1-g++-win32" sections="-ffunction-sections -fdata-sections" arch="" flags hot root key work lib
  [ "$triplet" = i686-w64-mingw32 ] && arch="-march=i686 -msse2 -mfpmath=sse"
  flags="-Os -DNDEBUG $sections $arch $PREFIX_MAP"
  hot="-O2 -DNDEBUG $sections $arch $PREFIX_MAP"
  key=$(printf '%s|%s|%s|%s|%s|%s|%s' "$cxx" "$flags" "$CRYPTOPP_MACROS" "$hot" "$HOT_OBJECTS" \
    "$(sha256sum <"$here/cryptopp_instances.cpp")" "$(declare -f strip_cryptopp_printing | sha256sum)" \
    | sha256sum | cut -c1-12)
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
      flags=${flags//@SRC@/$PWD} hot=${hot//@SRC@/$PWD}
      strip_cryptopp_printing
      cryptopp_make() {  # CXXFLAGS target...
        local cxxflags=$1; shift
        make -s -f GNUmakefile -j"$(nproc)" "$@" CXX="$cxx" AR="$triplet-ar" RANLIB="$triplet-ranlib" \
          CXXFLAGS="$cxxflags $CRYPTOPP_MACROS" >>build.log 2>&1 || { tail -30 build.log; die "Crypto++ build failed"; }
      }
      cryptopp_make "$flags" static
      for lib in libcryptopp.a libcrypto++.a; do [ -f "$lib" ] && break; done
      rm -f $HOT_OBJECTS
      cryptopp_make "$hot" $HOT_OBJECTS
      cp "$here/cryptopp_instances.cpp" kz_instances.cpp
      { $cxx $flags $CRYPTOPP_MACROS -c kz_instances.cpp -o kz_instances.o &&
        $cxx $flags $CRYPTOPP_MACROS -DKZ_CIPHER_MODES -c kz_instances.cpp -o kz_instances_modes.o; } >>build.log 2>&1 \
        || { tail -30 build.log; die "Crypto++ template instances failed to build"; }
      "$triplet-ar" d "$lib" dll.o
      "$triplet-ar" r "$lib" $HOT_OBJECTS kz_instances.o kz_instances_modes.o
      "$triplet-ranlib" "$lib"
      rm -rf "$root.partial"
      mkdir -p "$root.partial/lib" "$root.partial/include/cryptopp"
      cp "$lib" "$root.partial/lib/libcryptopp.a"
      cp ./*.h "$root.partial/include/cryptopp/"
      printf '%s\n' $CRYPTOPP_MACROS | sed 's/^-D//' >"$root.partial/config-macros.txt"
      mv "$root.partial" "$root"   # only a complete build gets the final name
    )
    rm -rf "$work"
  fi
  ln -sfn "$root" "$KZ_CACHE/$2"
}
build_cryptopp i686-w64-mingw32 cryptopp-mingw
# The 64-bit build runs the unit tests, and the demo where 32-bit code cannot run.
if [ "$FOR" = all ] || { [ "$FOR" = demo ] && [ "$how" = none ]; }; then build_cryptopp x86_64-w64-mingw32 cryptopp-mingw64; fi

# ---- libdeflate ----------------------------------------------------------------
# Bundle chunks are inflated with it. Built from Debian's source (the version
# of libdeflate-dev) for mingw and natively, with a patch that makes its
# decompressor refuse every stream zlib refuses, so kzpack, the stub and zlib
# give one verdict; about 20 s each. The patched source is kept too
# (libdeflate-source): the fuzz preset compiles it with its own
# instrumentation, so that the fuzzers see inside the decoder.
deflate_version=$(dpkg-query -W -f='${Version}' libdeflate-dev)
deflate_patch="$here/../cmake/libdeflate-zlib-verdicts.patch"
deflate_source="$KZ_CACHE/libdeflate-source-${deflate_version//[^A-Za-z0-9.]/_}-$(sha256sum <"$deflate_patch" | cut -c1-12)"
if [ ! -f "$deflate_source/lib/deflate_decompress.c" ]; then
  say "fetching and patching libdeflate $deflate_version"
  mkdir -p "$KZ_CACHE"
  work=$(mktemp -d "$KZ_CACHE/build.XXXXXX")
  (
    cd "$work"
    apt-get source -qq libdeflate >/dev/null 2>&1 || die "apt-get source libdeflate failed (is deb-src enabled?)"
    cd "$(find . -maxdepth 1 -type d -name 'libdeflate-*' | head -n1)"
    patch -s -p1 <"$deflate_patch" || die "the libdeflate patch no longer applies to $deflate_version"
    rm -rf "$deflate_source.partial"
    cp -a . "$deflate_source.partial"
    mv "$deflate_source.partial" "$deflate_source"   # only a complete copy gets the final name
  )
  rm -rf "$work"
fi
ln -sfn "$deflate_source" "$KZ_CACHE/libdeflate-source"
build_libdeflate() {  # triplet|native link-name
  local triplet=$1 cc="$1-gcc-win32" ar="$1-ar" lib=libdeflatestatic.lib flags="-O2 -DNDEBUG $PREFIX_MAP" root key work
  [ "$triplet" = i686-w64-mingw32 ] && flags="$flags -march=i686 -msse2 -mfpmath=sse"
  if [ "$triplet" = native ]; then cc=gcc ar=ar lib=libdeflate.a flags="$flags -fPIC"; fi
  key=$(printf '%s|%s|%s' "$cc" "$flags" "$(sha256sum <"$deflate_patch")" | sha256sum | cut -c1-12)
  root="$KZ_CACHE/libdeflate-$triplet-${deflate_version//[^A-Za-z0-9.]/_}-$key"
  if [ -f "$root/lib/libdeflate.a" ]; then
    say "libdeflate $deflate_version for $triplet cached in $root"
  else
    say "building libdeflate $deflate_version for $triplet"
    work=$(mktemp -d "$KZ_CACHE/build.XXXXXX")
    (
      cp -a "$deflate_source/." "$work"
      cd "$work"
      flags=${flags//@SRC@/$PWD}
      # The static library only (on mingw it is named libdeflatestatic.lib).
      make -s -j"$(nproc)" "$lib" CC="$cc" AR="$ar" CFLAGS="$flags" >build.log 2>&1 \
        || { tail -30 build.log; die "libdeflate build failed"; }
      rm -rf "$root.partial"
      mkdir -p "$root.partial/lib" "$root.partial/include"
      cp "$lib" "$root.partial/lib/libdeflate.a"
      cp libdeflate.h "$root.partial/include/"
      mv "$root.partial" "$root"   # only a complete build gets the final name
    )
    rm -rf "$work"
  fi
  ln -sfn "$root" "$KZ_CACHE/$2"
}
[ "$FOR" = stub ] || build_libdeflate native libdeflate-native
build_libdeflate i686-w64-mingw32 libdeflate-mingw
if [ "$FOR" = all ] || { [ "$FOR" = demo ] && [ "$how" = none ]; }; then build_libdeflate x86_64-w64-mingw32 libdeflate-mingw64; fi

if [ "$FOR" = stub ]; then
  say "done (stub): Crypto++ and libdeflate for the 32-bit stub in $KZ_CACHE"
  exit 0
fi

# ---- CycloneDX validator (tests only) ----------------------------------------
# The bill-of-materials tests validate kzpack's documents with the CycloneDX
# library's schemas and strict validator, whose optional dependencies it
# needs. npm packages, pinned for Node.js 20 (the library wants 20.18 or
# later), cached under a name keyed by the pins; the tests find it through the
# link node-cyclonedx.
if [ "$FOR" = all ]; then
  NODE_PINS="@cyclonedx/cyclonedx-library@10.3.0 ajv@8.17.1 ajv-formats@3.0.1 ajv-formats-draft2019@1.6.1"
  node_dir="$KZ_CACHE/node-cyclonedx-$(printf '%s' "$NODE_PINS" | sha256sum | cut -c1-12)"
  if [ -f "$node_dir/node_modules/@cyclonedx/cyclonedx-library/package.json" ]; then
    say "CycloneDX validator cached in $node_dir"
  else
    command -v npm >/dev/null && command -v node >/dev/null \
      || die "node and npm are missing: install Node.js 20.18 or later with npm, then run scripts/bootstrap.sh again"
    node -e 'const [a, b] = process.versions.node.split(".").map(Number); process.exit(a > 20 || (a == 20 && b >= 18) ? 0 : 1)' \
      || die "Node.js $(node --version) is too old for the CycloneDX validator; install 20.18 or later"
    say "installing the CycloneDX validator from npm ($NODE_PINS)"
    mkdir -p "$KZ_CACHE"
    rm -rf "$node_dir.partial"
    mkdir "$node_dir.partial"
    # shellcheck disable=SC2086  # one word per package
    npm install --prefix "$node_dir.partial" --no-save --no-package-lock --no-audit --no-fund --ignore-scripts \
      --loglevel=error $NODE_PINS >/dev/null || die "npm install of the CycloneDX validator failed (above)"
    mv "$node_dir.partial" "$node_dir"   # only a complete install gets the final name
  fi
  ln -sfn "$node_dir" "$KZ_CACHE/node-cyclonedx"
fi

# ---- wine prefixes ----------------------------------------------------------
# wine64: the 64-bit prefix (32-bit programs run in it under WOW64).
# wine32: a 32-bit prefix reporting Windows XP, for runs as on 32-bit Windows.
# Every call names the prefix's architecture: until its server ends, a new
# prefix has no system.reg to say so, and wine-run would pick the wrong loader.
in_prefix() {  # prefix arch command...
  local prefix=$1 arch=$2; shift 2
  WINEPREFIX="$prefix" WINEARCH="$arch" WINEDLLOVERRIDES="mscoree,mshtml=" KZ_WINE_HOW="$how" \
    "$here/wine-run" "$@" </dev/null 2>/dev/null
}
# What is wrong with a prefix, or nothing: the 64-bit one needs its 32-bit half
# (syswow64) wherever 32-bit code runs; the XP one must say so to a program.
prefix_fault() {  # prefix arch [windows version] [probe]
  local prefix=$1 arch=$2 version=${3:-} probe=${4:-} ver
  [ -f "$prefix/system.reg" ] || { echo "no system.reg (wineboot did not finish)"; return; }
  grep -q "^#arch=$arch\$" "$prefix/system.reg" || { echo "it is not a $arch prefix"; return; }
  if [ "$arch" = win64 ] && [ "$how" != none ] && [ ! -f "$prefix/drive_c/windows/syswow64/kernel32.dll" ]; then
    echo "it has no 32-bit half (drive_c/windows/syswow64)"; return
  fi
  [ -n "$version" ] || return 0
  grep -q "\"Version\"=\"$version\"" "$prefix/user.reg" || { echo "its registry does not set Windows version $version"; return; }
  if [ -n "$probe" ]; then
    ver=$(in_prefix "$prefix" "$arch" cmd /c ver | tr -d '\r' | grep -v '^$' | head -n1)
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
    case "$ver" in *" 5.1"*|*"Windows XP"*) ;; *) echo "a program run in it sees '${ver:-nothing}', not Windows XP (5.1)"; return ;; esac
  fi
}
make_prefix() {  # name arch [windows version]
  local prefix="$KZ_CACHE/$1" fault
  if [ -z "$(prefix_fault "$prefix" "$2" "${3:-}")" ]; then
    say "wine prefix $prefix ready"
    return
  fi
  say "creating wine prefix $prefix ($2${3:+, $3}, about 30 s)"
  rm -rf "$prefix"
  in_prefix "$prefix" "$2" wineboot -i >/dev/null || true   # judged below, by what it made
  if [ -n "${3:-}" ]; then
    in_prefix "$prefix" "$2" reg add 'HKCU\Software\Wine' /v Version /d "$3" /f >/dev/null || true
  fi
  # The registry files are written when the server ends.
  WINEPREFIX="$prefix" wineserver -w
  fault=$(prefix_fault "$prefix" "$2" "${3:-}" probe)
  if [ -n "$fault" ]; then
    trap - ERR
    die "wine prefix $prefix came out wrong: $fault; remove it (rm -rf $prefix) and run scripts/bootstrap.sh again"
  fi
}
mkdir -p "$KZ_CACHE"
make_prefix wine64 win64
if [ "$FOR" = all ] && [ "$how" != none ]; then
  make_prefix wine32 win32 winxp
fi

say "done ($FOR): 32-bit Windows programs: $how; Crypto++ and libdeflate for mingw in $KZ_CACHE"
