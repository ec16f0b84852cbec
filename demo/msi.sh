#!/bin/sh
# The demo product (demo/kelmo7-demo.wxs with dist/installer/Kelmo7.wxs) as a
# Windows Installer package, built with Debian's wixl from a configured build:
# win32 gives the 32-bit package, win64 a 64-bit one (Program Files, x64).
#
# The same inputs give the same bytes: every date in the package is the source
# date (SOURCE_DATE_EPOCH, or else the last commit's time), and the package
# code is derived from the inputs, so a package with other files (a test build
# of Kelmo7.exe) has another one, as Windows Installer requires.
#
# A product's upgrade rules are part of the package: any older version of the
# family is removed (RemoveExistingProducts early, before InstallInitialize; at
# REMOVE_EXISTING_AT when set, 6601 for after InstallFinalize), and a newer one
# installed refuses the run with a message.
#
# Usage: demo/msi.sh VERSION BUILD OUTPUT [KELMO7_EXE]
#   KELMO7_EXE: the file to package as Kelmo7.exe (default BUILD/server/Kelmo7.exe)
set -eu
version=$1 build=$2 output=$3
kelmo7=${4:-$build/server/Kelmo7.exe}
top=$(cd "$(dirname "$0")/.." && pwd)
fail() {
  echo "msi: $*" >&2
  exit 1
}

for tool in wixl msibuild msiinfo faketime; do
  command -v $tool >/dev/null || fail "$tool is missing (Debian's wixl, msitools and faketime; make deps installs them)"
done
case $(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null) in
  *toolchain-win32.cmake) arch=x86 programs=ProgramFilesFolder ;;
  *toolchain-win64.cmake) arch=x64 programs=ProgramFiles64Folder ;;
  *) fail "$build is not a configured win32 or win64 build" ;;
esac
remove_at=${REMOVE_EXISTING_AT:-1401}
case $remove_at in
  '' | *[!0-9]*) fail "REMOVE_EXISTING_AT is '$remove_at', not a sequence number" ;;
esac
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct 2>/dev/null) || SOURCE_DATE_EPOCH=0
fi

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kelmo7-msi.XXXXXX")
landing=
trap 'rm -rf "$scratch" $landing' EXIT
trap 'exit 1' HUP INT TERM

# wixl takes only relative paths, from the folder of the sources. The cabinet
# records each file's date: all of them get the source date.
mkdir "$scratch/files"
cp "$top/demo/kelmo7-demo.wxs" "$top/dist/installer/Kelmo7.wxs" "$scratch/"
for file in "$kelmo7:Kelmo7.exe" "$build/tollan/tollan.exe:tollan.exe" \
  "$build/hosted/KelmoHosted.dll:KelmoHosted.dll" "$build/demo/kelmo_demo.exe:kelmo_demo.exe"; do
  cp "${file%:*}" "$scratch/files/${file##*:}" || fail "${file%:*} is missing: build it first"
done
touch -d "@$SOURCE_DATE_EPOCH" "$scratch/files"/*
inputs=$({
  echo "$version $arch $remove_at"
  cd "$scratch" && cat kelmo7-demo.wxs Kelmo7.wxs files/Kelmo7.exe files/tollan.exe files/KelmoHosted.dll \
    files/kelmo_demo.exe
} | sha256sum)
package_code=$(echo "$inputs" | sed -E 's/^(.{8})(.{4}).(.{3}).(.{3})(.{12}).*/{\1-\2-5\3-8\4-\5}/' | tr a-f A-F)

# at_source_date COMMAND...: COMMAND with the clock held still at the source
# date. A clock that only starts there ("@DATE" alone) ticks on, and a run that
# crosses a second on a loaded machine gave other bytes.
export TZ=UTC
source_date=$(date -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')
at_source_date() { faketime -f "@$source_date i0,0" "$@"; }
(cd "$scratch" && at_source_date wixl -a $arch -o package.msi \
  -D Version="$version" -D Bin=files -D Kelmo7Exe=files/Kelmo7.exe -D TollanExe=files/tollan.exe \
  -D ProgramFiles=$programs kelmo7-demo.wxs) || fail "wixl failed"

# What wixl 0.101 leaves to be done, in one step:
# - Execute="rollback" comes out as an immediate action, without the rollback
#   (0x100) and in-script (0x400) bits: they are added to each rollback action;
# - the package code (the summary's revision number) is random on every run:
#   it becomes the one derived from the inputs above;
# - the summary's dates are the time wixl ran: at_source_date holds it at the source
#   date, here and above.
# The fixed sequence numbers in the sources stand in for Before="RemoveFiles",
# which wixl places at sequence 1, before InstallInitialize.
for action in $(cat "$scratch"/*.wxs | tr '\n' ' ' |
  grep -o '<CustomAction [^>]*Execute="rollback"[^>]*>' | sed -E 's/.* Id="([^"]*)".*/\1/'); do
  type=$(msiinfo export "$scratch/package.msi" CustomAction | awk -F '\t' -v a="$action" '$1 == a { print $2 }')
  [ -n "$type" ] || fail "no custom action $action in the package"
  at_source_date msibuild "$scratch/package.msi" \
    -q "UPDATE CustomAction SET Type = $((type | 0x500)) WHERE Action = '$action'" || fail "msibuild failed"
done

# The major-upgrade rows, which wixl 0.101 does not write: FindRelatedProducts
# puts every installed version of the UpgradeCode below VERSION into
# OLDPRODUCTS, for RemoveExistingProducts, and detects (attribute 2) one above
# it into NEWERFOUND, which ends the run with the error action (type 19).
# Both properties are secure: a machine-wide install passes them to the
# server side. An UpgradeCode with msiinfo's carriage return in it finds nothing.
upgrade_code=$(msiinfo export "$scratch/package.msi" Property | tr -d '\r' |
  awk -F '\t' '$1 == "UpgradeCode" { print $2 }')
[ -n "$upgrade_code" ] || fail "the package has no UpgradeCode"
at_source_date msibuild "$scratch/package.msi" \
  -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Language, Attributes, Remove, ActionProperty) VALUES ('$upgrade_code', '', '$version', '', 0, '', 'OLDPRODUCTS')" \
  -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Language, Attributes, Remove, ActionProperty) VALUES ('$upgrade_code', '$version', '', '', 2, '', 'NEWERFOUND')" \
  -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('Kelmo7DemoNewerFound', 19, '', 'A newer version of [ProductName] is installed; this one is not installed over it.')" \
  -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('FindRelatedProducts', '', 200)" \
  -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('Kelmo7DemoNewerFound', 'NEWERFOUND', 210)" \
  -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('RemoveExistingProducts', '', $remove_at)" \
  -q "INSERT INTO Property (Property, Value) VALUES ('SecureCustomProperties', 'OLDPRODUCTS;NEWERFOUND')" ||
  fail "msibuild failed"
at_source_date msibuild "$scratch/package.msi" -s "Kelmo7 demo" Dravix "$([ $arch = x64 ] && echo x64 || echo Intel);1033" \
  "$package_code" || fail "msibuild failed"

# Into place in one move, and named in the folder's list of what the release
# targets wrote, which make dist keeps: it refuses a folder with anything else.
# Both hold a lock on the folder while they read and write the list.
folder=$(dirname "$output")
mkdir -p "$folder"
exec 7<"$folder"
flock 7
landing=$(mktemp "$folder/.kelmo7-msi.XXXXXX")
cp "$scratch/package.msi" "$landing"
mv "$landing" "$output"
landing=
{ cat "$folder/.kelmo7-dist-files" 2>/dev/null || true; echo "./$(basename "$output")"; } | LC_ALL=C sort -u >"$scratch/list"
mv "$scratch/list" "$folder/.kelmo7-dist-files"
