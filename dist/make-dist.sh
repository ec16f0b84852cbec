#!/bin/bash
# The 32-bit release, built twice and compared before it is packaged.
#
# Copies the sources into two throwaway folders and builds the win32 preset's
# programs in each, and the win64 preset's kelmo7-check beside them, the second
# later, under another time zone and umask. Any byte that differs between the
# two builds' programs, type library or zip fails the run, naming the file and
# the first differing offset. Then the first build's programs (signed when
# SIGN_PKCS12 and SIGN_PASSWORD_FILE name a certificate and its password,
# time-stamped when SIGN_TIMESTAMP_URL names a server), the two builds of the
# deployment check (kelmo7-check-x86.exe for 32-bit clients,
# kelmo7-check-x64.exe for 64-bit ones), the installer source Kelmo7.wxs, the
# short readme, the docs a customer's site needs (each build's own copy of
# README.md, CHANGELOG.md, docs/deploying.md and docs/troubleshooting.md, at
# the paths the check's pointers name) and their SHA-256 sums go into
# OUTPUT/kelmo7-VERSION and OUTPUT/kelmo7-VERSION-win32.zip; beside them,
# OUTPUT/kelmo7-VERSION-symbols.zip holds the four programs as shipped and
# their PDBs as a symbol store (dist/symbols.py), and
# OUTPUT/kelmo7-VERSION-SHA256SUMS the sums of the two zips. The zip's own
# SHA256SUMS names only what the zip holds, so that a site that unpacks it can
# check it. All three are compared between the two builds.
#
# OUTPUT is never emptied: a folder that holds anything this script did not
# write there (it keeps a list, OUTPUT/.kelmo7-dist-files) is refused, and only
# the package's own folder and zip are replaced, once the new ones are whole.
# A failed or interrupted run leaves OUTPUT as it was.
#
# The package is the last commit's, and dated by it: a tree with uncommitted
# changes is refused, unless DIST_ALLOW_DIRTY=1, which names the package
# kelmo7-VERSION-dirty. Dates come from SOURCE_DATE_EPOCH, or else the last
# commit's time.
# Usage: dist/make-dist.sh VERSION OUTPUT
set -euo pipefail
version=$1 output=$2
top=$(cd "$(dirname "$0")/.." && pwd)
manifest=.kelmo7-dist-files
fail() {
  echo "dist: $*" >&2
  exit 1
}

name=kelmo7-$version
if changes=$(git -C "$top" status --porcelain 2>/dev/null) && [ -n "$changes" ]; then
  [ "${DIST_ALLOW_DIRTY:-}" = 1 ] ||
    fail "the tree has uncommitted changes ($(printf '%s\n' "$changes" | wc -l) files), which a package dated and named by the last commit would not hold; commit them, or set DIST_ALLOW_DIRTY=1 for a package named $name-dirty"
  name=$name-dirty
fi
zip=$name-win32.zip
symbols=$name-symbols.zip
sums=$name-SHA256SUMS

# foreign_files: what OUTPUT holds that this script did not write there.
foreign_files() {
  [ -d "$output" ] || return 0
  (cd "$output" && find . -mindepth 1 ! -path "./$manifest" | LC_ALL=C sort |
     LC_ALL=C comm -23 - <(LC_ALL=C sort "$manifest" 2>/dev/null || true))
}
[ ! -e "$output" ] || [ -d "$output" ] || fail "$output is not a folder"
foreign=$(foreign_files)
[ -z "$foreign" ] ||
  fail "$output holds files that make dist did not write, and it never replaces or deletes those: $(echo $foreign); choose an empty or new folder"

signing=${SIGN_PKCS12:-}${SIGN_PASSWORD_FILE:-}
if [ -n "$signing" ]; then
  [ -n "${SIGN_PKCS12:-}" ] && [ -n "${SIGN_PASSWORD_FILE:-}" ] ||
    fail "signing needs both SIGN_PKCS12 (the certificate and key) and SIGN_PASSWORD_FILE"
  "$top/dist/sign.sh" "$SIGN_PKCS12" "$SIGN_PASSWORD_FILE" "${SIGN_TIMESTAMP_URL:-}"
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct 2>/dev/null) || SOURCE_DATE_EPOCH=0
fi
case $SOURCE_DATE_EPOCH in
  '' | *[!0-9]*) fail "SOURCE_DATE_EPOCH is '$SOURCE_DATE_EPOCH', not a number of seconds" ;;
esac
export SOURCE_DATE_EPOCH

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelmo7-dist.XXXXXX")
landing= made_output= placed=
[ -e "$output" ] || made_output=1
cleanup() {
  rm -rf "$scratch"
  if [ -n "$landing" ]; then
    # Interrupted while the package was going into place: what was placed
    # goes, and the previous package comes back.
    if [ -n "$placed" ]; then rm -rf "${output:?}/$name" "${output:?}/$zip" "${output:?}/$symbols" "${output:?}/$sums"; fi
    [ ! -d "$landing/previous" ] || mv "$landing/previous" "$output/$name"
    [ ! -f "$landing/previous.zip" ] || mv "$landing/previous.zip" "$output/$zip"
    [ ! -f "$landing/previous-symbols.zip" ] || mv "$landing/previous-symbols.zip" "$output/$symbols"
    [ ! -f "$landing/previous-sums" ] || mv "$landing/previous-sums" "$output/$sums"
    rm -rf "$landing"
  fi
  [ -z "$made_output" ] || rmdir "$output" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# build FOLDER: the sources copied to FOLDER/source, the programs built in
# FOLDER/build, the 64-bit deployment check in FOLDER/build64.
build() {
  mkdir -p "$1/source"
  (cd "$top" && tar -c --exclude=./build --exclude=./.git .) | tar -x -C "$1/source"
  if ! (cd "$1/source" && cmake --preset win32 -B "$1/build" &&
        cmake --build "$1/build" --target Kelmo7 tollan kelmo7-check &&
        cmake --preset win64 -B "$1/build64" -DKELMO_WIN32_BUILD_DIR="$1/build" &&
        cmake --build "$1/build64" --target kelmo7-check) \
       >"$1/build.log" 2>&1; then
    cat "$1/build.log" >&2
    fail "the build in $1 failed"
  fi
}

# package BUILD STAGE [sign]: the package folder and its zip in STAGE; BUILD's
# sibling build64 holds the 64-bit check.
programs="Kelmo7.exe tollan.exe kelmo7-check-x86.exe kelmo7-check-x64.exe"
docs="README.md CHANGELOG.md docs/deploying.md docs/troubleshooting.md"
package() {
  mkdir -p "$2/$name"
  cp "$1/server/Kelmo7.exe" "$1/tollan/tollan.exe" "$2/$name/"
  cp "$1/check/kelmo7-check.exe" "$2/$name/kelmo7-check-x86.exe"
  cp "$1/../build64/check/kelmo7-check.exe" "$2/$name/kelmo7-check-x64.exe"
  if [ "${3:-}" = sign ]; then
    "$top/dist/sign.sh" "$SIGN_PKCS12" "$SIGN_PASSWORD_FILE" "${SIGN_TIMESTAMP_URL:-}" \
      "$2/$name/Kelmo7.exe" "$2/$name/tollan.exe" "$2/$name/kelmo7-check-x86.exe" "$2/$name/kelmo7-check-x64.exe" ||
      fail "signing failed; no package was written"
  fi
  # The symbols archive, beside the zip: each program as shipped, with its PDB.
  /usr/bin/python3 -B "$top/dist/symbols.py" archive "$2/$symbols" "$name-symbols" "$SOURCE_DATE_EPOCH" \
    "$2/$name/Kelmo7.exe=$1/server/Kelmo7.pdb" "$2/$name/tollan.exe=$1/tollan/tollan.pdb" \
    "$2/$name/kelmo7-check-x86.exe=$1/check/kelmo7-check-x86.pdb" \
    "$2/$name/kelmo7-check-x64.exe=$1/../build64/check/kelmo7-check-x64.pdb" ||
    fail "no symbols archive; no package was written"
  cp "$top/dist/README.txt" "$top/dist/installer/Kelmo7.wxs" "$2/$name/"
  mkdir -p "$2/$name/docs"
  for doc in $docs; do cp "$1/../source/$doc" "$2/$name/$doc"; done
  (cd "$2/$name" && sha256sum $programs Kelmo7.wxs README.txt $docs >SHA256SUMS)
  # The zip records each file's mode and time, in the order named.
  chmod 755 "$2/$name" "$2/$name/docs" && (cd "$2/$name" && chmod 755 $programs && chmod 644 $docs)
  chmod 644 "$2/$name/README.txt" "$2/$name/Kelmo7.wxs" "$2/$name/SHA256SUMS"
  touch -d "@$SOURCE_DATE_EPOCH" "$2/$name"/* "$2/$name"/docs/* "$2/$name"
  (cd "$2" && TZ=UTC zip -q -X "$zip" "$name/" $(printf "$name/%s " $programs) "$name/Kelmo7.wxs" "$name/README.txt" \
     $(printf "$name/%s " README.md CHANGELOG.md docs/ docs/deploying.md docs/troubleshooting.md) "$name/SHA256SUMS")
  (cd "$2" && sha256sum "$zip" "$symbols" >"$sums")
}

started=$(date +%s)
echo "== building the release twice, from copies of the sources (date $SOURCE_DATE_EPOCH)"
build "$scratch/first"
(umask 077 && export TZ=XYZ-12:45 && build "$scratch/second-build")
package "$scratch/first/build" "$scratch/first/package"
package "$scratch/second-build/build" "$scratch/second-build/package"
"$top/dist/compare-builds.sh" "$scratch/first" "$scratch/second-build" \
  build/server/Kelmo7.exe build/tollan/tollan.exe build/server/kelmo7.tlb build/check/kelmo7-check.exe \
  build64/check/kelmo7-check.exe package/"$zip" package/"$symbols" package/"$sums" ||
  fail "the two builds differ; no package was written"
echo "== the two builds are identical ($(($(date +%s) - started)) s)"

stage=$scratch/first/package
if [ -n "$signing" ]; then
  rm -rf "$stage"
  package "$scratch/first/build" "$stage" sign
fi
# Into place: the new folder and zip are copied beside the old ones first, on
# the same file system, so that each move replaces one whole thing; the old
# ones wait beside them until the list is written. The folder's list is shared
# with `make msi`: both hold a lock on the folder while they read and write it.
mkdir -p "$output"
exec 7<"$output"
flock 7
landing=$(mktemp -d "$output/.kelmo7-dist.XXXXXX")
cp -pr "$stage/$name" "$stage/$zip" "$stage/$symbols" "$stage/$sums" "$landing/"
(cd "$landing" && find "$name" "$zip" "$symbols" "$sums" | sed 's|^|./|') >"$landing/files"
foreign=$(foreign_files | grep -v -x -F "./$(basename "$landing")" | grep -v -F "./$(basename "$landing")/" || true)
[ -z "$foreign" ] || fail "$output now holds files that make dist did not write: $(echo $foreign); nothing was replaced"
[ ! -e "$output/$name" ] || mv "$output/$name" "$landing/previous"
[ ! -e "$output/$zip" ] || mv "$output/$zip" "$landing/previous.zip"
[ ! -e "$output/$symbols" ] || mv "$output/$symbols" "$landing/previous-symbols.zip"
[ ! -e "$output/$sums" ] || mv "$output/$sums" "$landing/previous-sums"
placed=1
mv "$landing/$name" "$output/$name"
mv "$landing/$zip" "$output/$zip"
mv "$landing/$symbols" "$output/$symbols"
mv "$landing/$sums" "$output/$sums"
{ cat "$landing/files"; cat "$output/$manifest" 2>/dev/null || true; } | LC_ALL=C sort -u >"$landing/manifest"
mv "$landing/manifest" "$output/$manifest"
landed=$landing
landing=
rm -rf "$landed"
cat "$output/$name/SHA256SUMS" "$output/$sums"
echo "== $output/$zip"
echo "== $output/$symbols"
