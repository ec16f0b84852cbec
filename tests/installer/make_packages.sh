#!/bin/sh
# The packages of msi_proof.sh, from a configured build (win32 or win64):
#   kelmo7-demo.msi           what make msi builds
#   failing-registration.msi  the same with the test build whose class script
#                             is malformed as Kelmo7.exe: its /RegServer fails
#   later-failure.msi         the same with one more deferred action after
#                             /RegServer that fails: tollan.exe without a name
# Usage: make_packages.sh BUILD OUTPUT_FOLDER
set -eu
build=$1 output=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
version=0.0.1  # a test package's
mkdir -p "$output"
"$top/demo/msi.sh" $version "$build" "$output/kelmo7-demo.msi"
"$top/demo/msi.sh" $version "$build" "$output/failing-registration.msi" "$build/tests/registration/Kelmo7_malformed.exe"

later=$output/later-failure.msi
cp "$output/kelmo7-demo.msi" "$later"
msibuild "$later" -q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('LaterFailure', 3090, 'tollan.exe', '')" \
  -q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('LaterFailure', '', 4030)"
# Another package needs another package code.
code=$(sha256sum "$later" | sed -E 's/^(.{8})(.{4}).(.{3}).(.{3})(.{12}).*/{\1-\2-5\3-8\4-\5}/' | tr a-f A-F)
template=$(msiinfo suminfo "$later" | sed -n 's/^Template: //p')
msibuild "$later" -s "Kelmo7 demo" Dravix "$template" "$code"
