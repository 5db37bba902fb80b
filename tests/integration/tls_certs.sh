#!/usr/bin/env bash
# Makes the certificates of the TLS tests with the openssl command:
#
#   tls_certs.sh DIR ADDRESS...
#
# DIR/ca.crt         a private CA (point SSL_CERT_FILE at it)
# DIR/server.*       signed by the CA for the ADDRESSes (IP entries) and localhost
# DIR/expired.*      the same, but valid only in 2020
# DIR/otherhost.*    signed by the CA for mail.example.net only
# DIR/selfsigned.*   for the ADDRESSes, signed by itself
# DIR/cnonly.*       signed by the CA, "localhost" in the subject CN only (no
#                    subjectAltName), which names no host
# So each fault is the only one: the expired and self-signed certificates
# name every test address.
# Keys are EC P-256: quick to make, and what current servers use.
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: $0 DIR ADDRESS..." >&2; exit 2; }
dir=$1
shift
san=""
for address in "$@"; do san="${san}IP:$address,"; done
mkdir -p "$dir"
cd "$dir"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

key ca.key
openssl req -x509 -new -key ca.key -subj "/CN=Postwren Test CA" -days 30 -out ca.crt \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

# A leaf signed by the CA: file name, common name, subjectAltName (none when
# empty), and the validity in openssl-ca form.
sign() {
    local name=$1 cn=$2 san=$3 start=$4 end=$5
    key "$name.key"
    openssl req -new -key "$name.key" -subj "/CN=$cn" -out "$name.csr"
    cat >"$name.ext" <<EXT
basicConstraints=CA:FALSE
keyUsage=digitalSignature
extendedKeyUsage=serverAuth
EXT
    [ -z "$san" ] || echo "subjectAltName=$san" >>"$name.ext"
    mkdir -p ca-db
    : >ca-db/index.txt
    [ -f ca-db/serial ] || echo 1000 >ca-db/serial
    cat >ca-db/ca.cnf <<CNF
[ca]
default_ca=test
[test]
database=$PWD/ca-db/index.txt
serial=$PWD/ca-db/serial
new_certs_dir=$PWD/ca-db
default_md=sha256
policy=any
unique_subject=no
[any]
commonName=supplied
CNF
    openssl ca -batch -config ca-db/ca.cnf -cert ca.crt -keyfile ca.key -in "$name.csr" -out "$name.crt" \
        -extfile "$name.ext" -startdate "$start" -enddate "$end" -notext 2>/dev/null
}

now=$(date -u -d '-1 hour' +%Y%m%d%H%M%SZ)
later=$(date -u -d '+30 days' +%Y%m%d%H%M%SZ)
# Some clients (fetchmail) match an address against the DNS entries only.
sign server "$1" "${san}DNS:localhost,DNS:$1" "$now" "$later"
sign expired "$1" "${san}DNS:localhost" 20200101000000Z 20200102000000Z
sign otherhost mail.example.net "DNS:mail.example.net" "$now" "$later"
sign cnonly localhost "" "$now" "$later"

key selfsigned.key
openssl req -x509 -new -key selfsigned.key -subj "/CN=$1" -days 30 -out selfsigned.crt \
    -addext "subjectAltName=${san%,}"
chmod 0644 ./*.key
