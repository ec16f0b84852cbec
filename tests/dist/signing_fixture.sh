#!/bin/sh
# The signing checks' fixture: in FOLDER, a throwaway self-signed code-signing
# certificate and its key made with openssl, a PKCS#12 file of both with a
# random password (and one of the certificate alone), and copies of the programs, unsigned and signed with it by
# dist/sign.sh as `make dist` signs them. The checks' cleanup removes FOLDER.
# Usage: signing_fixture.sh FOLDER PROGRAM...
set -eu
folder=$1
shift
sign=$(cd "$(dirname "$0")/../../dist" && pwd)/sign.sh
umask 077
rm -rf "$folder"
mkdir -p "$folder/unsigned" "$folder/signed"
cd "$folder"
openssl genpkey -quiet -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out key.pem
openssl req -new -x509 -key key.pem -out certificate.pem -days 1 -subj "/CN=Kelmo7 test signer" \
  -addext extendedKeyUsage=codeSigning -addext keyUsage=critical,digitalSignature
openssl rand -hex 16 >password
echo "not $(cat password)" >wrong-password
openssl pkcs12 -export -inkey key.pem -in certificate.pem -passout file:password -out signer.p12
openssl pkcs12 -export -nokeys -in certificate.pem -passout file:password -out certificate-only.p12
cp "$@" unsigned/
cp "$@" signed/
"$sign" signer.p12 password "" signed/*
