#!/usr/bin/env bash
# Provides a libgcrypt new enough for the build (the version cmake/libgcrypt.cmake names).
#
#   scripts/provide-libgcrypt.sh                makes sure one is there (builds it once if needed)
#   scripts/provide-libgcrypt.sh --prefix-only  prints the prefix to pass as COPYVOTE_GCRYPT_PREFIX,
#                                               or nothing when the system's libgcrypt will do
#
# When the system's libgcrypt is older (Debian 12 ships 1.10.1), the source packages of
# libgpg-error and libgcrypt20 are fetched from Debian's next release with apt-get, through a
# private apt configuration that leaves the system's apt configuration and state alone, and both
# are built once as static libraries under .deps at the top of this repository, where `make
# clean` does not reach (`make distclean` removes it). Later calls find the finished install and
# do nothing. Progress goes to standard error; standard output carries nothing but the prefix of
# --prefix-only.
set -euo pipefail

readonly SUITE=trixie
readonly MIRROR=http://deb.debian.org/debian
readonly KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# The oldest version the program accepts, from the one place the build keeps it.
readonly MIN_VERSION="$(sed -n 's/^set(COPYVOTE_GCRYPT_MIN_VERSION \([0-9.]*\))$/\1/p' "$repo/cmake/libgcrypt.cmake")"
[ -n "$MIN_VERSION" ] || { echo "provide-libgcrypt: no COPYVOTE_GCRYPT_MIN_VERSION in cmake/libgcrypt.cmake" >&2; exit 1; }
readonly prefix="$repo/.deps"
readonly work="$prefix/.work"
readonly stamp="$prefix/.provided"

say() { echo "provide-libgcrypt: $*" >&2; }
die() { say "$*"; exit 1; }

version_at_least() {  # version_at_least HAVE WANT
  [ "$(printf '%s\n%s\n' "$2" "$1" | sort -V | head -n1)" = "$2" ]
}

system_is_new_enough() {
  if command -v pkg-config >/dev/null 2>&1 && pkg-config --exists libgcrypt 2>/dev/null; then
    pkg-config --atleast-version="$MIN_VERSION" libgcrypt
    return
  fi
  if command -v libgcrypt-config >/dev/null 2>&1; then
    version_at_least "$(libgcrypt-config --version)" "$MIN_VERSION"
    return
  fi
  return 1
}

if [ "${1:-}" = "--prefix-only" ]; then
  system_is_new_enough || echo "$prefix"
  exit 0
fi
[ $# -eq 0 ] || die "usage: $0 [--prefix-only]"

if system_is_new_enough; then
  exit 0
fi
[ -f "$stamp" ] && exit 0

mkdir -p "$prefix"
# One build at a time, even when two make runs start together.
exec 9>"$prefix/.lock"
flock 9
[ -f "$stamp" ] && exit 0

if [ "$(id -u)" -ne 0 ] && ! command -v sudo >/dev/null 2>&1; then
  say "note: not root; the build tools must already be installed"
fi
"$repo/scripts/install-deps.sh" build-essential bzip2 patch >&2

rm -rf "$work"
mkdir -p "$work"/apt/{lists/partial,cache/archives/partial,parts,sources.list.d} "$work/src"

# A private apt: its own configuration file (read before the system's parts directory, which
# it replaces by an empty one, so no hook of the system's configuration runs), its own source
# list, lists and cache. Nothing of /etc/apt or /var/lib/apt is written.
apt_dir="$work/apt"
cat >"$apt_dir/sources.list" <<EOF
deb-src [signed-by=$KEYRING] $MIRROR $SUITE main
EOF
cat >"$apt_dir/apt.conf" <<EOF
Dir::Etc::main "/dev/null";
Dir::Etc::parts "$apt_dir/parts";
Dir::Etc::sourcelist "$apt_dir/sources.list";
Dir::Etc::sourceparts "$apt_dir/sources.list.d";
Dir::State::Lists "$apt_dir/lists";
Dir::Cache "$apt_dir/cache";
Acquire::Languages "none";
APT::Sandbox::User "root";
EOF
apt_opts=(-o "Dir::Etc::sourcelist=$apt_dir/sources.list"
          -o "Dir::Etc::sourceparts=$apt_dir/sources.list.d"
          -o "Dir::State::Lists=$apt_dir/lists"
          -o "Dir::Cache=$apt_dir/cache"
          -o "Dir::Etc::parts=$apt_dir/parts")
private_apt() { APT_CONFIG="$apt_dir/apt.conf" apt-get -q "${apt_opts[@]}" "$@"; }

say "reading the $SUITE source index"
private_apt update >"$work/apt-update.log" 2>&1 || { cat "$work/apt-update.log" >&2; die "apt-get update failed"; }
say "fetching the source packages libgpg-error and libgcrypt20 of $SUITE"
(cd "$work/src" && private_apt source --download-only libgpg-error libgcrypt20) >"$work/apt-source.log" 2>&1 ||
  { cat "$work/apt-source.log" >&2; die "apt-get source failed"; }

# unpack NAME: unpacks the upstream tarball of source package NAME and prints its directory.
unpack() {
  local orig
  orig="$(ls "$work/src/$1"_*.orig.tar.* 2>/dev/null | grep -v '\.asc$' | head -n1 || true)"
  [ -n "$orig" ] || die "no upstream tarball of $1"
  local dir
  dir="$(tar -tf "$orig" | sed -n '1s|/.*||p')"
  tar -xf "$orig" -C "$work/src"
  echo "$work/src/$dir"
}

# Debian's own fixes to the library code (a security fix among them) are applied when they
# leave the build system alone, so that nothing has to be regenerated.
apply_debian_fixes() {  # apply_debian_fixes NAME SOURCEDIR
  local debian_tar
  debian_tar="$(ls "$work/src/$1"_*.debian.tar.* 2>/dev/null | head -n1 || true)"
  [ -n "$debian_tar" ] || return 0
  mkdir -p "$work/src/$1-debian"
  tar -xf "$debian_tar" -C "$work/src/$1-debian"
  local patches="$work/src/$1-debian/debian/patches"
  [ -f "$patches/series" ] || return 0
  if grep -hE '^\+\+\+ ' "$patches"/* 2>/dev/null | grep -qE '(configure\.ac|Makefile\.am|\.m4)([[:space:]]|$)'; then
    say "leaving $1 unpatched: its Debian patches touch the build system"
    return 0
  fi
  local p
  grep -vE '^[[:space:]]*(#|$)' "$patches/series" | while read -r p _; do
    patch -d "$2" -p1 -s --forward <"$patches/$p" >&2 || die "patch $p of $1 does not apply"
  done
}

# The libraries are built in a bare environment: when this script runs under `make install
# DESTDIR=... PREFIX=...`, make hands its variables down through the environment and MAKEFLAGS,
# and the sub-makes would install the libraries under the caller's DESTDIR (where libgcrypt's
# configure then cannot find them) or build them with flags meant for copyvote.
clean_env() {
  env -i PATH="$PATH" HOME="${HOME:-/root}" TMPDIR="${TMPDIR:-/tmp}" LC_ALL=C "$@"
}

build() {  # build NAME SOURCEDIR CONFIGURE-ARGS...
  local name="$1" src="$2"
  shift 2
  say "building $name ($(basename "$src")) into $prefix"
  (cd "$src" && clean_env ./configure --prefix="$prefix" --libdir="$prefix/lib" "$@" &&
     clean_env make -j2 && clean_env make install) >"$work/$name-build.log" 2>&1 ||
    { tail -n 40 "$work/$name-build.log" >&2; die "building $name failed (log: $work/$name-build.log)"; }
}

gpg_error_src="$(unpack libgpg-error)"
gcrypt_src="$(unpack libgcrypt20)"
apply_debian_fixes libgcrypt20 "$gcrypt_src"

build libgpg-error "$gpg_error_src" --enable-static --disable-shared --disable-doc --disable-nls \
  --disable-languages --disable-tests
# Only what copyvote uses (its digests and CRC32) and what the library itself needs (SHA-3 and
# BLAKE2 for its key derivations, AES for its random generator, one public-key module) is built:
# 68 s of processor time for both libraries here against 83 s for the full build (configure
# takes much of either), and the digests copyvote offers stay the same.
build libgcrypt "$gcrypt_src" --enable-static --disable-shared --disable-doc \
  --enable-digests="crc md4 md5 sha1 sha256 sha512 sha3 blake2" --enable-ciphers=aes \
  --enable-pubkey-ciphers=ecc --enable-kdfs= --with-libgpg-error-prefix="$prefix"

[ -f "$prefix/lib/libgcrypt.a" ] && [ -f "$prefix/lib/libgpg-error.a" ] && [ -f "$prefix/include/gcrypt.h" ] ||
  die "the build left no libraries in $prefix"
built_version="$(sed -n 's/^#define GCRYPT_VERSION "\(.*\)"$/\1/p' "$prefix/include/gcrypt.h")"
version_at_least "$built_version" "$MIN_VERSION" || die "built libgcrypt $built_version is older than $MIN_VERSION"

echo "libgcrypt $built_version $(basename "$gpg_error_src")" >"$stamp"
rm -rf "$work"
say "libgcrypt $built_version is ready in $prefix"
