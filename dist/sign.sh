#!/bin/sh
# Signs Windows programs in place with Authenticode (SHA-256), with
# osslsigncode and a PKCS#12 file that holds the certificate and its key; the
# password is read from the first line of a file. TIMESTAMP_URL, when not
# empty, names an RFC 3161 time-stamping server to countersign the signature.
# Either every file is signed or none is touched: each is signed into a copy
# next to it, and the copies replace the files only once all are signed.
# With no FILE, only checks that the certificate and password files are there.
# A refusal names its one cause: a file or tool missing, a file that is not
# PKCS#12, a wrong password, no key with its certificate, or else
# osslsigncode's own failure (its output comes first).
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
# osslsigncode takes the whole file, less its trailing line ends (CRs
# included), as the password, where openssl's file: would take the first line
# less only its LF: a second line is refused here, before either reads it, and
# openssl is given the password as osslsigncode reads it, from a file of its own.
password=$(cat "$password_file")
case $password in
  *"
"*) fail "the password file '$password_file' holds more than one line; it must hold the password alone" ;;
esac
cr=$(printf '\r')
while :; do
  case $password in
    *"$cr") password=${password%"$cr"} ;;
    *) break ;;
  esac
done
command -v osslsigncode >/dev/null || fail "osslsigncode is not installed (make deps installs it)"
command -v openssl >/dev/null || fail "openssl is not installed (make deps installs it)"
[ $# -gt 0 ] || exit 0

# Why the certificate cannot sign, as openssl reads it; nothing when it can.
# A PKCS#12 file is a sequence that starts with version 3, whatever the
# password; the password opens it (-legacy for the older ciphers that
# Windows exports); and it holds a private key and a certificate.
certificate_problem() {
  openssl asn1parse -inform DER -in "$pkcs12" 2>/dev/null | head -n 2 |
    grep -q 'd=1 .*prim: *INTEGER *:03$' || { echo "'$pkcs12' is not a PKCS#12 file"; return; }
  for mode in "" -legacy; do
    if openssl pkcs12 -in "$pkcs12" -passin "file:$work/password" -noout $mode 2>/dev/null; then
      openssl pkcs12 -in "$pkcs12" -passin "file:$work/password" -nodes $mode 2>/dev/null |
        grep -q 'PRIVATE KEY-----' &&
        openssl pkcs12 -in "$pkcs12" -passin "file:$work/password" -nokeys $mode 2>/dev/null |
        grep -q 'BEGIN CERTIFICATE' || echo "'$pkcs12' holds no private key with its certificate"
      return
    fi
  done
  echo "wrong password for '$pkcs12' in '$password_file'"
}

work=$(mktemp -d "$(dirname "$1")/.signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM
(umask 077 && printf '%s\n' "$password" >"$work/password")
count=0
for file; do
  count=$((count + 1))
  if ! osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256 \
       ${timestamp_url:+-ts "$timestamp_url"} -in "$file" -out "$work/$count" >"$work/log" 2>&1; then
    cat "$work/log" >&2
    problem=$(certificate_problem)
    [ -z "$problem" ] || fail "$problem; no file was signed"
    fail "osslsigncode could not sign $(basename "$file") with '$pkcs12'${timestamp_url:+ (or no answer from $timestamp_url)}; no file was signed"
  fi
done
count=0
for file; do
  count=$((count + 1))
  chmod --reference="$file" "$work/$count"
  mv "$work/$count" "$file"
done
