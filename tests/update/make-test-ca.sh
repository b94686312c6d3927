#!/bin/sh
# Makes a certificate authority and a server certificate for 127.0.0.1 in the
# folder $1: ca.pem (trusted by the tests), server.pem and server.key.
set -eu
d=$1
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=pallorwind-test-ca -keyout "$d/ca.key" -out "$d/ca.pem" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 \
    -keyout "$d/server.key" -out "$d/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' \
    >"$d/server.ext"
openssl x509 -req -in "$d/server.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial \
    -days 2 -extfile "$d/server.ext" -out "$d/server.pem" 2>/dev/null
