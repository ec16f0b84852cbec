#!/bin/sh
# What the password file of `make dist SIGN_PASSWORD_FILE=...` must hold: the
# password alone, with or without a line end (LF or CRLF) after it; a second
# line is refused, saying so. When osslsigncode fails for another cause (here a
# time-stamping server that does not answer), the refusal names that cause and
# never a wrong password, whatever line end the password has.
# Usage: password_file_check.sh FIXTURE   (the signing fixture's folder)
set -eu
fixture=$1
sign=$(cd "$(dirname "$0")/../../dist" && pwd)/sign.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
password=$(cat "$fixture/password")
status=0
# One case a line: what follows the password in the file (printf's escapes,
# - for nothing), the time-stamping server (- for none), and the outcome. Port
# 9 on the loopback address refuses connections.
while read -r case after timestamp expected; do
  [ "$after" = - ] && after=
  [ "$timestamp" = - ] && timestamp=
  printf "%s$after" "$password" >"$work/password"
  cp "$fixture/unsigned/tollan.exe" "$work/tollan.exe"
  if "$sign" "$fixture/signer.p12" "$work/password" "$timestamp" "$work/tollan.exe" >"$work/log" 2>&1; then
    outcome=signed
  elif grep -q "holds more than one line" "$work/log"; then
    outcome=refused
  elif grep -q "^sign: osslsigncode could not sign tollan.exe .*(or no answer from $timestamp)" "$work/log"; then
    outcome=no-timestamp
  else
    outcome="refused for another cause: $(cat "$work/log")"
  fi
  [ "$outcome" = "$expected" ] || { echo "$case: $outcome, expected $expected"; status=1; }
done <<'CASES'
no-line-end        -               -                      signed
line-feed          \n              -                      signed
carriage-return    \r\n            -                      signed
second-line        \nsecond\n      -                      refused
timestamp-lf       \n              http://127.0.0.1:9/    no-timestamp
timestamp-crlf     \r\n            http://127.0.0.1:9/    no-timestamp
CASES
exit $status
