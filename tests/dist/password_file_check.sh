#!/bin/sh
# What the password file of `make dist SIGN_PASSWORD_FILE=...` must hold: the
# password alone, with or without a line end (LF or CRLF) after it; a second
# line is refused, saying so.
# Usage: password_file_check.sh FIXTURE   (the signing fixture's folder)
set -eu
fixture=$1
sign=$(cd "$(dirname "$0")/../../dist" && pwd)/sign.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
password=$(cat "$fixture/password")
status=0
# One case a line: what follows the password in the file (printf's escapes,
# - for nothing), and the outcome.
while read -r case after expected; do
  [ "$after" = - ] && after=
  printf "%s$after" "$password" >"$work/password"
  cp "$fixture/unsigned/tollan.exe" "$work/tollan.exe"
  if "$sign" "$fixture/signer.p12" "$work/password" "" "$work/tollan.exe" >"$work/log" 2>&1; then
    outcome=signed
  elif grep -q "holds more than one line" "$work/log"; then
    outcome=refused
  else
    outcome="refused for another cause: $(cat "$work/log")"
  fi
  [ "$outcome" = "$expected" ] || { echo "$case: $outcome, expected $expected"; status=1; }
done <<'CASES'
no-line-end        -               signed
line-feed          \n              signed
carriage-return    \r\n            signed
second-line        \nsecond\n      refused
CASES
exit $status
