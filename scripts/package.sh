#!/usr/bin/env bash
# Writes what a vendor installs kzpack from, out of the native, win32 and win64
# builds (`make package` builds them first):
#   build/package/kzpack_<version>_amd64.deb   kzpack, the 32-bit stub, man page, docs
#   build/package/kzpack-<version>-win64.zip   kzpack.exe and Stub.exe side by side
# Times, owners and compression come from SOURCE_DATE_EPOCH (default: the last
# commit's time), so the same commit and toolchain give the same files.
set -euo pipefail
cd "$(dirname "$0")/.."
die() { echo "package: error: $*" >&2; exit 1; }

kzpack=build/native/tools/kzpack/kzpack
stub=build/win32/InstallerLogic/Stub.exe
kzpack_exe=build/win64/tools/kzpack/kzpack.exe
for f in "$kzpack" "$stub" "$kzpack_exe"; do
  [ -f "$f" ] || die "$f is missing; run 'make package' (it builds the native, win32 and win64 presets first)"
done
upstream=$(sed -n 's/^project(kzinstaller VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$upstream" ] || die "no version in CMakeLists.txt's project()"
# Not a Debian package: its one revision is -1 (the changelog below says so).
version="$upstream-1"
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
export TZ=UTC LC_ALL=C.UTF-8
commit=$(git rev-parse HEAD)

out=build/package
work=$out/work
root=$work/debian/kzpack
rm -rf "$work" "$out"/kzpack_*.deb "$out"/kzpack-*.zip
mkdir -p "$root/DEBIAN" "$root/usr/bin" "$root/usr/share/kzpack" "$root/usr/share/man/man1" "$root/usr/share/doc/kzpack"

# ---- files ------------------------------------------------------------------
install -m 0755 "$kzpack" "$root/usr/bin/kzpack"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/kzpack"
install -m 0644 "$stub" "$root/usr/share/kzpack/Stub.exe"
gzip -9n <packaging/kzpack.1 >"$root/usr/share/man/man1/kzpack.1.gz"
doc=$root/usr/share/doc/kzpack
gzip -9n <README.md >"$doc/README.md.gz"
install -m 0644 packaging/copyright "$doc/copyright"
{
  printf 'kzpack (%s) unstable; urgency=medium\n\n' "$version"
  printf '  * kzinstaller %s, built from commit\n    %s.\n\n' "$upstream" "$commit"
  printf ' -- kzinstaller developers <kzinstaller@example.org>  %s\n' \
    "$(date -R -d "@$SOURCE_DATE_EPOCH")"
} | gzip -9n >"$doc/changelog.Debian.gz"

# What the stub was built with, so that anyone can build it again and compare.
package_line() {  # binary package: its version and the Debian source it comes from
  dpkg-query -W -f='  ${binary:Package} ${Version} (source ${source:Package} ${source:Version})\n' "$1" 2>/dev/null \
    || echo "  $1 (not installed)"
}
cache_name() {  # the bootstrap's keyed build a preset's cache variable points at
  local dir
  dir=$(sed -n "s/^$1:PATH=//p" build/win32/CMakeCache.txt)
  basename "$(readlink -f "$dir")"
}
{
  echo "kzinstaller $upstream, commit $commit, SOURCE_DATE_EPOCH $SOURCE_DATE_EPOCH"
  echo "Stub.exe SHA-256 $(sha256sum <"$stub" | cut -d' ' -f1)"
  echo
  echo "Built on Debian $(cat /etc/debian_version) ($(dpkg --print-architecture)) with cmake --preset win32, from:"
  for p in gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64-i686 mingw-w64-i686-dev \
           libz-mingw-w64-dev libcrypto++-dev libdeflate-dev cmake make python3; do
    package_line "$p"
  done
  echo
  echo "Crypto++ and libdeflate are built by scripts/bootstrap.sh from the Debian sources of the"
  echo "libcrypto++-dev and libdeflate-dev versions above (apt-get source), libdeflate with"
  echo "cmake/libdeflate-zlib-verdicts.patch (SHA-256 $(sha256sum <cmake/libdeflate-zlib-verdicts.patch | cut -d' ' -f1));"
  echo "the builds the stub linked:"
  echo "  $(cache_name KZ_CRYPTOPP_ROOT)"
  echo "  $(cache_name KZ_LIBDEFLATE_ROOT)"
  echo
  echo "To check, from a clone at that commit on a machine with these packages:"
  echo "  scripts/rebuild-stub.sh /usr/share/kzpack/Stub.exe"
  echo "builds Crypto++, libdeflate (into an empty cache folder) and Stub.exe again in a folder of its own"
  echo "and compares the bytes."
} >"$doc/buildinfo"
chmod 0644 "$doc"/*

# ---- control ----------------------------------------------------------------
cat >"$work/debian/control" <<EOF
Source: kzinstaller

Package: kzpack
Architecture: amd64
EOF
depends=$(cd "$work" && dpkg-shlibdeps -O debian/kzpack/usr/bin/kzpack 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$depends" ] || die "dpkg-shlibdeps found no shared libraries for kzpack"
# Installed-Size as dpkg-gencontrol counts it: KiB per file, one per folder.
installed_size=$(cd "$root" && find usr \( -type f -printf '%s\n' \) -o -printf '1024\n' \
  | awk '{ sum += int(($1 + 1023) / 1024) } END { print sum }')
cat >"$root/DEBIAN/control" <<EOF
Package: kzpack
Version: $version
Architecture: amd64
Maintainer: kzinstaller developers <kzinstaller@example.org>
Installed-Size: $installed_size
Depends: $depends
Section: devel
Priority: optional
Description: build tool for self-verifying Windows installers
 kzpack turns a Windows setup program and its files into one installer: a
 copy of the 32-bit installer stub that carries the setup program and a
 signed, compressed bundle of the files, and checks its own embedded
 signature before it unpacks anything.
 .
 The package holds kzpack and the reproducible stub it builds installers
 from; kzpack writes the vendor's own root keys into the stub's key block,
 so no Windows toolchain is needed to make installers signed with them.
EOF
(cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
chmod 0644 "$root/DEBIAN/control" "$root/DEBIAN/md5sums"
find "$root" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

deb="$out/kzpack_${version}_amd64.deb"
dpkg-deb --root-owner-group -Zxz --build "$root" "$deb" >/dev/null
# lintian's verdict is part of the package: an error fails it.
if command -v lintian >/dev/null; then
  lintian --fail-on error --tag-display-limit 0 "$deb"
else
  echo "package: note: lintian is not installed (scripts/bootstrap.sh installs it); the package is unchecked" >&2
fi

# ---- Windows zip -------------------------------------------------------------
zipdir=$work/kzpack-$upstream-win64
mkdir -p "$zipdir"
x86_64-w64-mingw32-strip -o "$zipdir/kzpack.exe" "$kzpack_exe"
chmod 0644 "$zipdir/kzpack.exe"
install -m 0644 "$stub" "$zipdir/Stub.exe"
cp "$doc/copyright" "$zipdir/copyright.txt"
touch -d "@$SOURCE_DATE_EPOCH" "$zipdir" "$zipdir"/*
zip="$out/kzpack-$upstream-win64.zip"
(cd "$work" && zip -q -X -9 "../$(basename "$zip")" "kzpack-$upstream-win64/kzpack.exe" \
  "kzpack-$upstream-win64/Stub.exe" "kzpack-$upstream-win64/copyright.txt")

for f in "$deb" "$zip"; do
  printf '%s  %s bytes  sha256 %s\n' "$f" "$(stat -c %s "$f")" "$(sha256sum <"$f" | cut -d' ' -f1)"
done
echo "Stub.exe sha256 $(sha256sum <"$stub" | cut -d' ' -f1)"
