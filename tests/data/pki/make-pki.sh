#!/usr/bin/env bash
# Makes the test PKI in this folder (RSA 2048, SHA-256, 100 years), then
# checks the chains. Rerun only to replace every file; tests/support/pki.h
# lists what each file is.
set -euo pipefail
cd "$(dirname "$0")"
days=36500
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Authorities.
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -subj /CN=TestCA -days $days -keyout ca.key -out ca.pem
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -subj /CN=OtherCA -days $days -keyout ca2.key -out ca2.pem

# leaf <name> <subject> [extension file]: a key and a certificate signed by TestCA.
leaf() {
  local name=$1 subject=$2 ext=${3:-}
  openssl req -newkey rsa:2048 -nodes -sha256 -subj "$subject" -keyout "$name.key" -out "$tmp/$name.csr"
  openssl x509 -req -in "$tmp/$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -CAserial "$tmp/ca.srl" \
    -days $days -sha256 ${ext:+-extfile "$ext"} -out "$name.pem"
}

printf 'subjectAltName=DNS:*.example.test,DNS:server.test\n' > "$tmp/ext.cnf"
leaf srv /CN=server.test "$tmp/ext.cnf"
leaf cn-only /CN=server.test

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -subj /CN=other.test -days $days \
  -keyout self-signed.key -out self-signed.pem

openssl verify -CAfile ca.pem srv.pem cn-only.pem
if openssl verify -CAfile ca2.pem srv.pem >/dev/null 2>&1; then
  echo "srv.pem must not verify against ca2.pem" >&2
  exit 1
fi
