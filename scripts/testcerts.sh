#!/usr/bin/env bash
# Test certificates for TLS to the mail servers, made once into DIR:
#   ca.pem                 the test CA (what tls_ca_file points at)
#   server.pem server.key  for localhost and 127.0.0.1, signed by the test CA
#   wrongname.pem          signed by the test CA for another name only
#   expired.pem            signed by the test CA, valid in 2020 only
#   unknownca.pem          for localhost and 127.0.0.1, signed by a CA nobody
#                          trusts (other-ca.pem)
# Every server certificate uses server.key.  Used by scripts/servers.sh for
# dovecot and postfix and by the tests' fake TLS servers.
#
# usage: scripts/testcerts.sh DIR
set -euo pipefail

dir=${1:?usage: testcerts.sh DIR}
mkdir -p "$dir"
cd "$dir"
# Test programs run side by side ask for the same directory at once: one
# makes the certificates while the others wait, then find them made.
exec 9>.lock
flock 9
[ -s ca.pem ] && [ -s server.pem ] && [ -s wrongname.pem ] && [ -s expired.pem ] && [ -s unknownca.pem ] \
    && exit 0

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
ca() {   # ca NAME SUBJECT: a self-signed CA certificate NAME.pem with key NAME.key
    key "$1.key"
    openssl req -x509 -new -key "$1.key" -days 3650 -subj "$2" -out "$1.pem" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
}
# sign OUT CA SAN [START END]: a server certificate for server.key
sign() {
    local out=$1 cakey=$2.key capem=$2.pem san=$3
    local cn=${san#*:}
    openssl req -new -key server.key -subj "/CN=${cn%%,*}" -out "$tmp/req.csr"
    printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\nsubjectAltName=%s\n' \
        "$san" >"$tmp/ext"
    if [ $# -gt 3 ]; then
        # openssl x509 cannot back-date; "openssl ca" can.
        mkdir -p "$tmp/db/new"
        : >"$tmp/db/index.txt"
        echo 1000 >"$tmp/db/serial"
        cat >"$tmp/ca.cnf" <<CNF
[ ca ]
default_ca = test
[ test ]
database = $tmp/db/index.txt
new_certs_dir = $tmp/db/new
serial = $tmp/db/serial
default_md = sha256
policy = any
copy_extensions = none
[ any ]
commonName = supplied
CNF
        openssl ca -batch -config "$tmp/ca.cnf" -cert "$capem" -keyfile "$cakey" -in "$tmp/req.csr" \
            -startdate "$4" -enddate "$5" -extfile "$tmp/ext" -notext -out "$out" 2>/dev/null
    else
        openssl x509 -req -in "$tmp/req.csr" -CA "$capem" -CAkey "$cakey" -CAcreateserial \
            -CAserial "$tmp/serial" -days 3650 -extfile "$tmp/ext" -out "$out" 2>/dev/null
    fi
}

ca ca "/CN=Larkspur test CA"
ca other-ca "/CN=Unknown test CA"
key server.key
sign server.pem ca "DNS:localhost,IP:127.0.0.1"
sign wrongname.pem ca "DNS:wrong.example.test"
sign expired.pem ca "DNS:localhost,IP:127.0.0.1" 20200101000000Z 20201231000000Z
sign unknownca.pem other-ca "DNS:localhost,IP:127.0.0.1"
chmod 644 ./*.pem
chmod 600 ./*.key
