#!/bin/sh
# Signs Windows programs in place with Authenticode (SHA-256), with
# osslsigncode and a PKCS#12 file that holds the certificate and its key; the
# password is read from the first line of a file. TIMESTAMP_URL, when not
# empty, names an RFC 3161 time-stamping server to countersign the signature.
# Either every file is signed or none is touched: each is signed into a copy
# next to it, and the copies replace the files only once all are signed.
# With no FILE, only checks that the certificate and password files are there.
# Usage: sign.sh PKCS12 PASSWORD_FILE TIMESTAMP_URL [FILE...]
set -eu
pkcs12=$1 password_file=$2 timestamp_url=$3
shift 3
fail() {
  echo "sign: $*" >&2
  exit 1
}
[ -f "$pkcs12" ] && [ -r "$pkcs12" ] || fail "cannot read the certificate file '$pkcs12'"
[ -f "$password_file" ] && [ -r "$password_file" ] || fail "cannot read the password file '$password_file'"
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (make deps installs it)"
[ $# -gt 0 ] || exit 0

work=$(mktemp -d "$(dirname "$1")/.signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM
count=0
for file; do
  count=$((count + 1))
  if ! osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 \
       ${timestamp_url:+-ts "$timestamp_url"} -in "$file" -out "$work/$count" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    fail "could not sign $(basename "$file") with '$pkcs12': a wrong password, or not a PKCS#12 file with a key and its certificate${timestamp_url:+, or no answer from $timestamp_url}; no file was signed"
  fi
done
count=0
for file; do
  count=$((count + 1))
  chmod --reference="$file" "$work/$count"
  mv "$work/$count" "$file"
done
