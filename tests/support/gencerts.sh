#!/usr/bin/env bash
# Makes the signers' test certificates with OpenSSL in the directory given as $1: a CA, two
# end-entity certificates with their keys (PKCS#12 too, for NSS databases and tokens), and the
# variants that the certificate descriptions must handle: expired, not yet valid, self-issued,
# JPKI alternative names, the registration extension, both, Japanese BMPString and UTF8String
# names, repeated and multi-valued RDNs, a notAfter in 9999, missing required attributes and
# malformed extensions; and an HTTPS server's certificate. Dates and serial numbers are fixed, so
# descriptions are reproducible; only keys and signatures change from run to run.
set -euo pipefail
out=${1:?usage: gencerts.sh <output-dir>}
mkdir -p "$out"
cd "$out"

export OPENSSL_CONF=/dev/null
PASS=test

openssl genrsa -out ca.key 2048 2>/dev/null
openssl genrsa -out ee.key 2048 2>/dev/null
openssl genrsa -out ee2.key 2048 2>/dev/null
openssl genrsa -out inter.key 2048 2>/dev/null
openssl genrsa -out longca.key 2048 2>/dev/null

cat > ca.cnf <<'CNF'
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = .
database = index.txt
new_certs_dir = newcerts
serial = serial
default_md = sha256
policy = policy_any
unique_subject = no
email_in_dn = no
[ policy_any ]
[ req ]
distinguished_name = req_dn
string_mask = utf8only
prompt = no
[ req_dn ]
CN = unused
CNF
sed 's/string_mask = utf8only/string_mask = default/' ca.cnf > ca-bmp.cnf

cat > ext.cnf <<'CNF'
[ v3_ca ]
basicConstraints = critical,CA:true
keyUsage = keyCertSign,cRLSign
subjectKeyIdentifier = hash
[ ee ]
basicConstraints = CA:false
keyUsage = digitalSignature,nonRepudiation
[ jpki ]
basicConstraints = CA:false
subjectAltName = @jpki_names
[ jpki_names ]
email.1 = signer@example.jp
otherName.1 = 1.2.392.200149.8.5.5.1;FORMAT:UTF8,UTF8:山田 太郎
otherName.2 = 1.2.392.200149.8.5.5.2;FORMAT:UTF8,UTF8:ヤマダ タロウ
otherName.3 = 1.2.392.200149.8.5.5.3;FORMAT:UTF8,UTF8:1
otherName.4 = 1.2.392.200149.8.5.5.4;FORMAT:UTF8,UTF8:19800101
otherName.5 = 1.2.392.200149.8.5.5.5;FORMAT:UTF8,UTF8:東京都千代田区1-1
otherName.6 = 1.2.392.200149.8.5.5.6;FORMAT:UTF8,UTF8:トウキョウト チヨダク
[ jpki_dup ]
subjectAltName = @jpki_dup_names
[ jpki_dup_names ]
otherName.1 = 1.2.392.200149.8.5.5.1;FORMAT:UTF8,UTF8:First Name
otherName.2 = 1.2.392.200149.8.5.5.5;FORMAT:UTF8,UTF8:Address
otherName.3 = 1.2.392.200149.8.5.5.4;FORMAT:UTF8,UTF8:19991231
otherName.4 = 1.2.392.200149.8.5.5.3;FORMAT:UTF8,UTF8:2
otherName.5 = 1.2.392.200149.8.5.5.1;FORMAT:UTF8,UTF8:Second Name
otherName.6 = 1.2.3.4;FORMAT:UTF8,UTF8:not jpki
[ jpki_missing ]
subjectAltName = @jpki_missing_names
[ jpki_missing_names ]
otherName.1 = 1.2.392.200149.8.5.5.1;FORMAT:UTF8,UTF8:No Gender
otherName.2 = 1.2.392.200149.8.5.5.5;FORMAT:UTF8,UTF8:Address
otherName.3 = 1.2.392.200149.8.5.5.4;FORMAT:UTF8,UTF8:19991231
[ regist ]
1.2.392.100300.1.1.3 = ASN1:SEQUENCE:regist_seq
[ regist_seq ]
corp = EXP:0,FORMAT:UTF8,UTF8:株式会社テスト
number = EXP:1,PRINTABLESTRING:1234567890123
address = EXP:2,FORMAT:UTF8,UTF8:東京都港区2-2
name = EXP:3,FORMAT:UTF8,UTF8:鈴木 花子
title = EXP:4,FORMAT:UTF8,UTF8:代表取締役
skipped = EXP:5,FORMAT:UTF8,UTF8:not shown
issue = EXP:6,PRINTABLESTRING:20200401
[ both ]
subjectAltName = @jpki_names
1.2.392.100300.1.1.3 = ASN1:SEQUENCE:regist_seq
[ regist_missing ]
1.2.392.100300.1.1.3 = ASN1:SEQUENCE:regist_missing_seq
[ regist_missing_seq ]
corp = EXP:0,FORMAT:UTF8,UTF8:Corp
address = EXP:2,FORMAT:UTF8,UTF8:Address
name = EXP:3,FORMAT:UTF8,UTF8:Name
# A SEQUENCE that claims 5 bytes in a value of 8: no attributes.
[ regist_badlen ]
1.2.392.100300.1.1.3 = DER:3005A0030C014100
# A string length of 0x7F inside a value of 8 bytes: the walk stops.
[ regist_overrun ]
1.2.392.100300.1.1.3 = DER:3006A0040C7F4142
[ server ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = IP:127.0.0.1,DNS:localhost
# A JPKI otherName whose string claims 5 bytes of 1, next to one of length 0.
[ jpki_overrun ]
2.5.29.17 = DER:3023A011060A2A83088C9B5508050501A0030C0541A00E060A2A83088C9B5508050503A000
CNF

: > index.txt
mkdir -p newcerts

# sign <name> <subject> <start> <end> <extensions> <key> <ca|self> <serial in hexadecimal>
sign() {
    local name=$1 subject=$2 start=$3 end=$4 ext=$5 key=$6 issuer=$7 serial=$8
    local cnf=ca.cnf
    if [ "${STRING_MASK:-}" = bmp ]; then cnf=ca-bmp.cnf; fi
    echo "$serial" > serial
    openssl req -new -config "$cnf" -utf8 -multivalue-rdn -key "$key" -subj "$subject" \
        -out "$name.csr"
    local signer=(-cert ca.pem -keyfile ca.key)
    if [ "$issuer" = self ]; then signer=(-selfsign -keyfile "$key"); fi
    if [ "$issuer" != self ] && [ "$issuer" != ca ]; then
        signer=(-cert "$issuer.pem" -keyfile "$issuer.key")
    fi
    openssl ca -config "$cnf" -batch -notext -utf8 -multivalue-rdn -preserveDN \
        -startdate "$start" -enddate "$end" -extfile ext.cnf -extensions "$ext" \
        "${signer[@]}" -in "$name.csr" -out "$name.pem" 2>/dev/null
    openssl x509 -in "$name.pem" -outform DER -out "$name.der"
    rm -f "$name.csr"
}

sign ca "/C=JP/O=Quarnel Test/CN=Quarnel Test CA" 20200101000000Z 20491231235959Z v3_ca ca.key \
    self 01
sign ee "/C=JP/O=Quarnel Test/OU=Signing/CN=Test Signer One" 20200101000000Z 20491231150000Z \
    ee ee.key ca 8F1234
sign ee2 "/C=JP/O=Quarnel Test/CN=Test Signer Two" 20200331150000Z 20491231235959Z ee ee2.key \
    ca 02
sign expired "/C=JP/CN=Expired Signer" 20000101000000Z 20100101000000Z ee ee.key ca 03
sign notyet "/C=JP/CN=Future Signer" 20900101000000Z 20910101000000Z ee ee.key ca 04
sign selfissued "/C=JP/O=Self/CN=Self Issued" 20200101000000Z 20491231235959Z ee ee.key self 05
sign jpki "/C=JP/CN=JPKI Signer" 20200101000000Z 20491231235959Z jpki ee.key ca 06
sign jpkidup "/C=JP/CN=JPKI Twice" 20200101000000Z 20491231235959Z jpki_dup ee.key ca 07
sign regist "/C=JP/O=Corp/CN=Registered" 20200101000000Z 20491231235959Z regist ee.key ca 08
sign both "/C=JP/CN=Both Kinds" 20200101000000Z 20491231235959Z both ee.key ca 09
STRING_MASK=bmp sign japanesebmp "/C=JP/CN=山田太郎" 20200101000000Z 20491231235959Z ee ee.key \
    ca 0A
sign japaneseutf8 "/C=JP/CN=山田太郎" 20200101000000Z 20491231235959Z ee ee.key ca 0B
sign names '/C=JP/ST=Tokyo/L=Chiyoda/O=Q"u\\o<t>&e/OU=Unit One/OU=Unit Two/CN=Multi+UID=m01/postalCode=100-0001/street=1-1 Marunouchi/title=Tester/serialNumber=S123/SN=Yamada/GN=Taro' \
    20200101000000Z 20491231235959Z ee ee.key ca 0C
sign forever "/C=JP/CN=Forever" 20200101000000Z 99991231235959Z ee ee.key ca 0D
sign jpkimissing "/C=JP/CN=JPKI Without Gender" 20200101000000Z 20491231235959Z jpki_missing \
    ee.key ca 0E
sign registmissing "/C=JP/CN=Registered Without Title" 20200101000000Z 20491231235959Z \
    regist_missing ee.key ca 0F
sign registbadlen "/C=JP/CN=Bad Length" 20200101000000Z 20491231235959Z regist_badlen ee.key \
    ca 10
sign registoverrun "/C=JP/CN=Overrun" 20200101000000Z 20491231235959Z regist_overrun ee.key ca 11
sign jpkioverrun "/C=JP/CN=JPKI Overrun" 20200101000000Z 20491231235959Z jpki_overrun ee.key \
    ca 12
# A chain of three (ca, inter, chained), and an issuer whose Name is 200 bytes long (three RDNs
# of 50, 50 and 64 characters) for the XML signatures' IssuerSerialV2.
sign inter "/C=JP/O=Quarnel Test/CN=Quarnel Test Intermediate" 20200101000000Z 20491231235959Z \
    v3_ca inter.key ca 13
sign chained "/C=JP/O=Quarnel Test/CN=Chained Signer" 20200101000000Z 20491231235959Z ee ee.key \
    inter 14
sign longca "/O=$(printf 'O%.0s' {1..50})/OU=$(printf 'U%.0s' {1..50})/CN=$(printf 'C%.0s' {1..64})" 20200101000000Z 20491231235959Z v3_ca longca.key \
    self 15
sign longee "/C=JP/CN=Long Issuer Signer" 20200101000000Z 20491231235959Z ee ee.key longca 16
# An HTTPS server's certificate for 127.0.0.1 (server.pem, server.key), and other-ca.pem, an
# authority that did not issue it.
sign server "/CN=127.0.0.1" 20200101000000Z 20491231235959Z server ee2.key ca 17
cp ee2.key server.key
cp longca.pem other-ca.pem

# PKCS#12 bundles for the NSS databases and the token.
for n in ee ee2 expired notyet chained; do
    openssl pkcs12 -export -inkey "$( [ "$n" = ee2 ] && echo ee2.key || echo ee.key )" \
        -in "$n.pem" $( [ "$n" = chained ] && echo -certfile inter.pem ) -name "$n" \
        -passout "pass:$PASS" -out "$n.p12" \
        -certpbe AES-256-CBC -keypbe AES-256-CBC -macalg sha256
done
openssl rsa -in ee.key -pubout -out ee.pub 2>/dev/null
openssl rsa -in ee2.key -pubout -out ee2.pub 2>/dev/null
