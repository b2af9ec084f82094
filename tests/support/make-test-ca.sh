#!/bin/sh
# Makes a test certificate authority and a server certificate it issued for 127.0.0.1 and
# localhost, plus an unrelated authority, in the directory given:
#   ca.pem, ca.key            the issuing authority
#   server.pem, server.key    the server's certificate and key
#   other-ca.pem              an authority that issued nothing here
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
quiet() { "$@" >/dev/null 2>&1 || { echo "failed: $*" >&2; exit 1; }; }

quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quarnel Test CA" \
    -keyout ca.key -out ca.pem -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign"
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quarnel Other CA" \
    -keyout other-ca.key -out other-ca.pem -addext "basicConstraints=critical,CA:TRUE"
quiet openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout server.key -out server.csr
cat > server.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT
quiet openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile server.ext -out server.pem
