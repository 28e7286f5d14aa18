#!/usr/bin/env bash
# Makes the test PKI in this folder (RSA 2048, SHA-256, 100 years but the
# expired leaf), then checks the chains. Rerun only to replace every file;
# tests/support/pki.h lists what each file is.
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

# expired: srv's names, signed by TestCA, valid 2020-01-01 to 2021-01-01.
# Only `openssl ca` takes explicit dates; it wants its database, a serial
# file and a folder for its own copies of what it signs.
mkdir "$tmp/ca-db"
: > "$tmp/ca-db/index.txt"
echo 1000 > "$tmp/ca-db/serial"
cat > "$tmp/ca.cnf" <<CNF
[ca]
default_ca = test_ca
[test_ca]
database = $tmp/ca-db/index.txt
serial = $tmp/ca-db/serial
new_certs_dir = $tmp/ca-db
default_md = sha256
policy = policy_cn
[policy_cn]
commonName = supplied
CNF
openssl req -newkey rsa:2048 -nodes -sha256 -subj /CN=server.test -keyout expired.key -out "$tmp/expired.csr"
openssl ca -batch -config "$tmp/ca.cnf" -cert ca.pem -keyfile ca.key \
  -startdate 20200101000000Z -enddate 20210101000000Z -extfile "$tmp/ext.cnf" \
  -in "$tmp/expired.csr" -out expired.pem -notext

openssl verify -CAfile ca.pem srv.pem cn-only.pem
# The expired leaf fails with error 10 (certificate has expired) and no other.
if openssl verify -CAfile ca.pem expired.pem >"$tmp/verify" 2>&1 \
  || [ "$(grep -c '^error [0-9]' "$tmp/verify")" != 1 ] || ! grep -q '^error 10 ' "$tmp/verify"; then
  cat "$tmp/verify" >&2
  echo "expired.pem must fail to verify with error 10 only" >&2
  exit 1
fi
if openssl verify -CAfile ca2.pem srv.pem >/dev/null 2>&1; then
  echo "srv.pem must not verify against ca2.pem" >&2
  exit 1
fi
