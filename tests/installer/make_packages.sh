#!/bin/sh
# The packages of msi_proof.sh, from a configured build (win32 or win64):
#   kelmo7-demo.msi           what make msi builds
#   failing-registration.msi  the same with the test build whose class script
#                             is malformed as Kelmo7.exe: its /RegServer fails
#   later-failure.msi         the same with one more deferred action after
#                             /RegServer that fails: tollan.exe without a name
# and for updates, each with Kelmo7_next.exe, the program one build later:
#   minor-update.msi          the same product (ProductCode), a higher version
#   upgrade-early.msi         a major upgrade: another ProductCode, the same
#                             UpgradeCode, older versions removed before
#                             InstallInitialize (RemoveExistingProducts 1401,
#                             as demo/msi.sh places it)
#   upgrade-late.msi          the same, removed after InstallFinalize (6601)
# The upgrade rows and the refusal of a downgrade are demo/msi.sh's own, so
# every package here carries them as make msi builds them. wixl 0.101 writes
# no file versions: msibuild adds them.
# Usage: make_packages.sh BUILD OUTPUT_FOLDER
set -eu
build=$1 output=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
version=0.0.1 next_version=0.0.2 major_version=0.1.0 # a test package's
next=$build/tests/installer/Kelmo7_next.exe
mkdir -p "$output"
"$top/demo/msi.sh" $version "$build" "$output/kelmo7-demo.msi"
"$top/demo/msi.sh" $version "$build" "$output/failing-registration.msi" "$build/tests/registration/Kelmo7_malformed.exe"

# PACKAGE: another package code, derived from its bytes, as another package needs.
new_package_code() {
  code=$(sha256sum "$1" | sed -E 's/^(.{8})(.{4}).(.{3}).(.{3})(.{12}).*/{\1-\2-5\3-8\4-\5}/' | tr a-f A-F)
  template=$(msiinfo suminfo "$1" | sed -n 's/^Template: //p')
  msibuild "$1" -s "Kelmo7 demo" Dravix "$template" "$code"
}

later=$output/later-failure.msi
cp "$output/kelmo7-demo.msi" "$later"
msibuild "$later" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('LaterFailure', 3090, 'tollan.exe', '')" \
  -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('LaterFailure', '', 4030)"
new_package_code "$later"

# PACKAGE VERSION: the file version of Kelmo7.exe, which wixl leaves empty, so
# that Windows Installer's file versioning rules decide on it.
file_version() { msibuild "$1" -q "UPDATE File SET Version = '$2' WHERE File = 'Kelmo7.exe'"; }

"$top/demo/msi.sh" $next_version "$build" "$output/minor-update.msi" "$next"
file_version "$output/minor-update.msi" 8.3.1203.0
new_package_code "$output/minor-update.msi"

"$top/demo/msi.sh" $major_version "$build" "$output/upgrade-early.msi" "$next"
REMOVE_EXISTING_AT=6601 "$top/demo/msi.sh" $major_version "$build" "$output/upgrade-late.msi" "$next"
for package in "$output/upgrade-early.msi" "$output/upgrade-late.msi"; do
  file_version "$package" 8.3.1203.0
  # A major upgrade's product code: fixed, as a product's own would be.
  msibuild "$package" \
    -q "UPDATE Property SET Value = '{C1D5E8A2-7B34-4F60-9A1E-5D2C8B7F4A31}' WHERE Property = 'ProductCode'"
  new_package_code "$package"
done
