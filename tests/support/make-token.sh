#!/bin/sh
# make-token.sh <dir> <label> <key.pem|-> <cert.der|->
# A SoftHSM2 token `label` (PIN 1234, SO PIN 5678) under <dir>/tokens holding the key (id 01, label
# "key") and its certificate (id 01, label "cert"), or nothing for "-". Writes <dir>/softhsm2.conf,
# which the caller names in SOFTHSM2_CONF, and prints the PKCS#11 library that reaches the token.
dir=$1 label=$2 key=$3 cert=$4
# shellcheck disable=SC2012 # two fixed paths, no odd names
library=$(ls /usr/lib/softhsm/libsofthsm2.so /usr/lib/*/softhsm/libsofthsm2.so 2>/dev/null |
    tail -n 1)
[ -n "$library" ] || { echo "softhsm2 is not installed" >&2; exit 1; }
mkdir -p "$dir/tokens"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' \
    "$dir" >"$dir/softhsm2.conf"
export SOFTHSM2_CONF="$dir/softhsm2.conf"
{
    softhsm2-util --init-token --free --label "$label" --so-pin 5678 --pin 1234 &&
    if [ "$key" != - ]; then
        openssl pkcs8 -topk8 -nocrypt -in "$key" -out "$dir/key.p8" &&
        softhsm2-util --import "$dir/key.p8" --token "$label" --label key --id 01 --pin 1234 &&
        pkcs11-tool --module "$library" --token-label "$label" --login --pin 1234 \
            --write-object "$cert" --type cert --id 01 --label cert
    fi
} >"$dir/make-token.log" 2>&1 || { cat "$dir/make-token.log" >&2; exit 1; }
rm -f "$dir/key.p8" "$dir/make-token.log"
echo "$library"
