#!/bin/sh
# dist/sign.sh, given a certificate it cannot use, refuses for the one cause
# that MESSAGE names: its refusal (its last "sign:" line, after any output of
# the tools) says MESSAGE. The programs are left as they were, with nothing
# beside them.
# Usage: sign_refusal_check.sh FIXTURE PKCS12 PASSWORD_FILE MESSAGE
# (PKCS12 and PASSWORD_FILE relative to the signing fixture's folder)
set -eu
fixture=$1 pkcs12=$2 password=$3 message=$4
sign=$(cd "$(dirname "$0")/../../dist" && pwd)/sign.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$fixture"/unsigned/* "$work/"
if output=$("$sign" "$fixture/$pkcs12" "$fixture/$password" "" "$work"/* 2>&1); then
  echo "signed with $pkcs12 and $password"
  exit 1
fi
refusal=$(printf '%s\n' "$output" | grep '^sign: ' | tail -n 1)
case $refusal in
  *"$message"*) ;;
  *) printf 'refused for another cause than "%s":\n%s\n' "$message" "$output"; exit 1 ;;
esac
[ "$(ls -A "$work")" = "$(ls -A "$fixture/unsigned")" ] || { ls -A "$work"; exit 1; }
for program in "$fixture"/unsigned/*; do
  cmp "$program" "$work/$(basename "$program")"
done
