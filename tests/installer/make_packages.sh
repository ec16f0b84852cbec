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
#                             InstallInitialize (RemoveExistingProducts 1401)
#   upgrade-late.msi          the same, removed after InstallFinalize (6601)
#   downgrade.msi             kelmo7-demo.msi that refuses to install over a
#                             newer version
# wixl 0.101 writes no Upgrade rows, neither FindRelatedProducts nor
# RemoveExistingProducts, and no file versions: msibuild adds them.
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

upgrade_code=$(msiinfo export "$output/kelmo7-demo.msi" Property | tr -d '\r' | awk -F '\t' '$1 == "UpgradeCode" { print $2 }')
# PACKAGE VERSION [REMOVE_AT]: what a product adds for updates. An Upgrade row
# that only detects (2) a version above VERSION into NEWERFOUND, and an error
# action (19) that ends the run then, after FindRelatedProducts; with
# REMOVE_AT, a row that finds every version below VERSION into OLDPRODUCTS and
# RemoveExistingProducts at that sequence. Both properties are secure: a
# machine-wide install passes them to the server side.
updates() {
  package=$1 below=$2 remove_at=${3:-}
  msibuild "$package" \
    -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Language, Attributes, Remove, ActionProperty) VALUES ('$upgrade_code', '$below', '', '', 2, '', 'NEWERFOUND')" \
    -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('Kelmo7DemoNewerFound', 19, '', 'A newer version of [ProductName] is installed; this one is not installed over it.')" \
    -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('FindRelatedProducts', '', 200)" \
    -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('Kelmo7DemoNewerFound', 'NEWERFOUND', 210)"
  secure=NEWERFOUND
  if [ -n "$remove_at" ]; then
    msibuild "$package" \
      -q "INSERT INTO Upgrade (UpgradeCode, VersionMin, VersionMax, Language, Attributes, Remove, ActionProperty) VALUES ('$upgrade_code', '', '$below', '', 0, '', 'OLDPRODUCTS')" \
      -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('RemoveExistingProducts', '', $remove_at)"
    secure="OLDPRODUCTS;NEWERFOUND"
  fi
  msibuild "$package" -q "INSERT INTO Property (Property, Value) VALUES ('SecureCustomProperties', '$secure')"
}
# PACKAGE VERSION: the file version of Kelmo7.exe, which wixl leaves empty, so
# that Windows Installer's file versioning rules decide on it.
file_version() { msibuild "$1" -q "UPDATE File SET Version = '$2' WHERE File = 'Kelmo7.exe'"; }

"$top/demo/msi.sh" $next_version "$build" "$output/minor-update.msi" "$next"
file_version "$output/minor-update.msi" 8.3.1203.0
new_package_code "$output/minor-update.msi"

"$top/demo/msi.sh" $major_version "$build" "$output/upgrade-early.msi" "$next"
file_version "$output/upgrade-early.msi" 8.3.1203.0
# A major upgrade's product code: fixed, as a product's own would be.
msibuild "$output/upgrade-early.msi" \
  -q "UPDATE Property SET Value = '{C1D5E8A2-7B34-4F60-9A1E-5D2C8B7F4A31}' WHERE Property = 'ProductCode'"
cp "$output/upgrade-early.msi" "$output/upgrade-late.msi"
updates "$output/upgrade-early.msi" $major_version 1401
updates "$output/upgrade-late.msi" $major_version 6601
new_package_code "$output/upgrade-early.msi"
new_package_code "$output/upgrade-late.msi"

cp "$output/kelmo7-demo.msi" "$output/downgrade.msi"
updates "$output/downgrade.msi" $version
new_package_code "$output/downgrade.msi"
