#!/usr/bin/env bash
# Signs one generated document of about 10 MiB with bench_xmlsign and with `xmlsec1 --sign`
# (same document, same key, a template with the equivalent reference), enveloped and by an Id
# deep in the tree, and prints wall time and peak memory of each with their ratios.
# Usage: bench/xmlsign-vs-xmlsec1.sh <build dir with bench_xmlsign> [size in MiB] [runs]
set -euo pipefail
build=$(cd "${1:?usage: xmlsign-vs-xmlsec1.sh <build dir> [MiB] [runs]}" && pwd)
mib=${2:-10}
runs=${3:-5}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home TMPDIR=$work
mkdir -p "$HOME/.pki/nssdb"
"$here/../tests/support/gencerts.sh" "$work/certs" >/dev/null 2>&1
certutil -N --empty-password -d "sql:$HOME/.pki/nssdb"
pk12util -W test -i "$work/certs/ee.p12" -d "sql:$HOME/.pki/nssdb" >/dev/null
/usr/bin/python3 "$here/gen-xml.py" "$mib" >"$work/doc.xml"

# The document with a Signature template appended to its top element.
template() {  # $1 reference URI, $2 extra transform
    local sig="<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
    sig+="<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
    sig+="<SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>"
    sig+="<Reference URI=\"$1\"><Transforms>$2<Transform "
    sig+="Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/></Transforms>"
    sig+="<DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/><DigestValue/>"
    sig+="</Reference></SignedInfo><SignatureValue/><KeyInfo><X509Data/></KeyInfo></Signature>"
    sed "s|</ledger>|$sig</ledger>|" "$work/doc.xml"
}
template "" '<Transform Algorithm="http://www.w3.org/2000/09/xmldsig#enveloped-signature"/>' \
    >"$work/tmpl-env.xml"
template "#deep" "" >"$work/tmpl-id.xml"

# Best wall time (s) and peak resident memory (KiB) of `runs` runs of a command.
measure() {
    local best_t=999999 best_m=0
    for _ in $(seq "$runs"); do
        /usr/bin/time -f "%e %M" -o "$work/time" "$@" >/dev/null 2>"$work/err" ||
            { cat "$work/err" >&2; exit 1; }
        read -r t m <"$work/time"
        best_t=$(echo "if ($t < $best_t) $t else $best_t" | bc -l)
        best_m=$m
    done
    echo "$best_t $best_m"
}

xmlsec=(xmlsec1 --sign --privkey-pem "$work/certs/ee.key,$work/certs/ee.pem")
printf "%-10s %10s %10s %12s %12s %8s %8s\n" case ours_s xmlsec_s ours_KiB xmlsec_KiB time mem
for kind in env id; do
    if [ $kind = env ]; then
        ours=$(measure "$build/bench_xmlsign" "$work/doc.xml" "$work/ours.xml")
        peer=$(measure "${xmlsec[@]}" --output "$work/peer.xml" "$work/tmpl-env.xml")
    else
        ours=$(measure "$build/bench_xmlsign" "$work/doc.xml" "$work/ours.xml" deep)
        peer=$(measure "${xmlsec[@]}" --id-attr:Id d2 --output "$work/peer.xml" \
            "$work/tmpl-id.xml")
    fi
    xmlsec1 --verify --trusted-pem "$work/certs/ca.pem" --id-attr:Id d2 \
        --id-attr:Id "http://uri.etsi.org/01903/v1.3.2#:SignedProperties" "$work/ours.xml" \
        >/dev/null 2>&1 || { echo "our $kind output does not verify" >&2; exit 1; }
    read -r ot om <<<"$ours"
    read -r pt pm <<<"$peer"
    printf "%-10s %10s %10s %12s %12s %8.2f %8.2f\n" "$kind" "$ot" "$pt" "$om" "$pm" \
        "$(echo "$ot / $pt" | bc -l)" "$(echo "$om / $pm" | bc -l)"
done
echo "document: $(stat -c %s "$work/doc.xml") bytes"
