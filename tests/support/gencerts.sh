#!/usr/bin/env bash
# Makes the signers' test certificates with OpenSSL in the directory given as $1: a CA, two
# end-entity certificates with their keys (PKCS#12 too, for NSS databases and tokens), and the
# variants that the certificate descriptions must handle: expired, not yet valid, self-issued,
# JPKI alternative names, the registration extension, both, Japanese BMPString and UTF8String
# names, repeated and multi-valued RDNs, a notAfter in 9999, missing required attributes and
# malformed extensions; and HTTPS server certificates for 127.0.0.1 and for another host. Dates
# and serial numbers are fixed, so descriptions are reproducible; only keys and signatures change
# from run to run.
set -euo pipefail
out=${1:?usage: gencerts.sh <output-dir>}
mkdir -p "$out/newcerts"
cd "$out"
export OPENSSL_CONF=/dev/null
: >index.txt

# Every certificate without a key of its own (<name>.key) is made for ee's key.
for key in ca ee ee2 inter longca server; do
    openssl genrsa -out "$key.key" 2048 2>/dev/null
    openssl rsa -in "$key.key" -pubout -out "$key.pub" 2>/dev/null
done
key_of() {
    if [ -e "$1.key" ]; then echo "$1.key"; else echo ee.key; fi
}

cat > ca.cnf <<'CNF'
[ ca ]
default_ca = test_ca
[ test_ca ]
database = index.txt
new_certs_dir = newcerts
serial = serial
default_md = sha256
policy = policy_any
unique_subject = no
[ policy_any ]
[ req ]
string_mask = utf8only
# The certificates' extensions.
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
# Issued by the same authority to another host: only the host-name check refuses it on 127.0.0.1.
[ otherhost ]
basicConstraints = CA:false
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.example
# A JPKI otherName whose string claims 5 bytes of 1, next to one of length 0.
[ jpki_overrun ]
2.5.29.17 = DER:3023A011060A2A83088C9B5508050501A0030C0541A00E060A2A83088C9B5508050503A000
CNF
sed 's/string_mask = utf8only/string_mask = default/' ca.cnf >ca-bmp.cnf

# sign <name> <extensions> <ca|self|issuer's name> <serial in hexadecimal> <start,end|-> <subject>
# "-" for the dates: from 2020-01-01 to the end of 2049.
sign() {
    local name=$1 ext=$2 issuer=$3 dates=${5/#-/20200101000000Z,20491231235959Z} cnf=ca.cnf
    local key signer=(-cert "$3.pem" -keyfile "$3.key")
    key=$(key_of "$name")
    [ "$issuer" != self ] || signer=(-selfsign -keyfile "$key")
    # The one name kept in the encodings that string_mask=default picks: BMPString.
    [ "$name" != japanesebmp ] || cnf=ca-bmp.cnf
    echo "$4" >serial
    openssl req -new -config "$cnf" -utf8 -multivalue-rdn -key "$key" -subj "$6" |
        openssl ca -config "$cnf" -batch -notext -utf8 -multivalue-rdn -preserveDN -in /dev/stdin \
            -startdate "${dates%,*}" -enddate "${dates#*,}" -extensions "$ext" "${signer[@]}" \
            -out "$name.pem" 2>/dev/null
    openssl x509 -in "$name.pem" -outform DER -out "$name.der"
}

# A chain of three (ca, inter, chained); an issuer whose Name is 200 bytes long (three RDNs of
# 50, 50 and 64 characters) for the XML signatures' IssuerSerialV2; an HTTPS server's
# certificate for 127.0.0.1 (server.pem, server.key) and one for other.example (otherhost.pem).
while read -r name ext issuer serial dates subject; do
    sign "$name" "$ext" "$issuer" "$serial" "$dates" "$subject"
done <<'ROWS'
ca v3_ca self 01 - /C=JP/O=Quarnel Test/CN=Quarnel Test CA
ee ee ca 8F1234 20200101000000Z,20491231150000Z /C=JP/O=Quarnel Test/OU=Signing/CN=Test Signer One
ee2 ee ca 02 20200331150000Z,20491231235959Z /C=JP/O=Quarnel Test/CN=Test Signer Two
expired ee ca 03 20000101000000Z,20100101000000Z /C=JP/CN=Expired Signer
notyet ee ca 04 20900101000000Z,20910101000000Z /C=JP/CN=Future Signer
selfissued ee self 05 - /C=JP/O=Self/CN=Self Issued
jpki jpki ca 06 - /C=JP/CN=JPKI Signer
jpkidup jpki_dup ca 07 - /C=JP/CN=JPKI Twice
regist regist ca 08 - /C=JP/O=Corp/CN=Registered
both both ca 09 - /C=JP/CN=Both Kinds
japanesebmp ee ca 0A - /C=JP/CN=山田太郎
japaneseutf8 ee ca 0B - /C=JP/CN=山田太郎
names ee ca 0C - /C=JP/ST=Tokyo/L=Chiyoda/O=Q"u\\o<t>&e/OU=Unit One/OU=Unit Two/CN=Multi+UID=m01/postalCode=100-0001/street=1-1 Marunouchi/title=Tester/serialNumber=S123/SN=Yamada/GN=Taro
forever ee ca 0D 20200101000000Z,99991231235959Z /C=JP/CN=Forever
jpkimissing jpki_missing ca 0E - /C=JP/CN=JPKI Without Gender
registmissing regist_missing ca 0F - /C=JP/CN=Registered Without Title
registbadlen regist_badlen ca 10 - /C=JP/CN=Bad Length
registoverrun regist_overrun ca 11 - /C=JP/CN=Overrun
jpkioverrun jpki_overrun ca 12 - /C=JP/CN=JPKI Overrun
inter v3_ca ca 13 - /C=JP/O=Quarnel Test/CN=Quarnel Test Intermediate
chained ee inter 14 - /C=JP/O=Quarnel Test/CN=Chained Signer
server server ca 17 - /CN=127.0.0.1
otherhost otherhost ca 18 - /CN=other.example
ROWS
sign longca v3_ca self 15 - "/O=$(printf 'O%.0s' {1..50})/OU=$(printf 'U%.0s' {1..50})/CN=$(printf 'C%.0s' {1..64})"
sign longee ee longca 16 - "/C=JP/CN=Long Issuer Signer"
# An authority that did not issue server.pem.
cp longca.pem other-ca.pem

# PKCS#12 bundles for the NSS databases and the token; chained's carries its intermediate.
for n in ee ee2 expired notyet chained; do
    # shellcheck disable=SC2046 # no words but for chained
    openssl pkcs12 -export -inkey "$(key_of $n)" -in "$n.pem" $([ $n != chained ] ||
        echo -certfile inter.pem) -name "$n" \
        -passout pass:test -out "$n.p12" -certpbe AES-256-CBC -keypbe AES-256-CBC -macalg sha256
done
