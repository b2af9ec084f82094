#!/usr/bin/env bash
# The agent end to end, the way a signing page uses it: installs the dependencies, builds, makes
# a throwaway home whose NSS store holds a freshly generated certificate (and a SoftHSM2 token
# registered there as a provider), starts the agent as the browser does for a "quarnel01:" link,
# runs a page's signing session against it, verifies both signatures and prints a report.
# Needs no display. Everything it makes stays in one temporary directory, removed at the end.
# With QUARNELCMD set to a built program it skips the installation and the build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${QUARNELCMD:-}" ]; then
    "$root/scripts/install-deps.sh"
    echo "== building"
    cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$root/build" -j "$(nproc)" --target quarnelcmd >/dev/null
    QUARNELCMD=$root/build/src/app/quarnelcmd
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-demo-XXXXXX")
agent=
cleanup() {
    if [ -n "$agent" ] && kill -0 "$agent" 2>/dev/null; then
        kill "$agent"
        wait "$agent" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The throwaway home: the agent and every tool read their state from here only.
export HOME=$work TMPDIR=$work XDG_DATA_HOME=$work/data XDG_CONFIG_HOME=$work/config
export XDG_CACHE_HOME=$work/cache SOFTHSM2_CONF=$work/softhsm2.conf OPENSSL_CONF=/dev/null
export DBUS_SESSION_BUS_ADDRESS=disabled: LANG=C.UTF-8
unset DISPLAY WAYLAND_DISPLAY
quiet() { "$@" >"$work/step.log" 2>&1 || { cat "$work/step.log" >&2; exit 1; }; }

echo "== a throwaway home in $work"
cd "$work"
quiet openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout signer.key -out signer.pem \
    -subj "/C=JP/O=QuarnelCmd Demo/CN=Demo Signer" \
    -addext "keyUsage=critical,digitalSignature,nonRepudiation"
quiet openssl pkcs12 -export -inkey signer.key -in signer.pem -name "Demo Signer" \
    -passout pass:demo -out signer.p12
db=sql:$HOME/.pki/nssdb
mkdir -p "$HOME/.pki/nssdb"
quiet certutil -N --empty-password -d "$db"
quiet pk12util -W demo -i signer.p12 -d "$db"
echo "   NSS store $HOME/.pki/nssdb: the certificate \"Demo Signer\" with its key"

quiet openssl req -x509 -newkey rsa:2048 -nodes -days 30 -keyout card.key -out card.pem \
    -subj "/C=JP/O=QuarnelCmd Demo/CN=Demo Card Holder"
openssl x509 -in card.pem -outform DER -out card.der
softhsm=$("$root/tests/support/make-token.sh" "$work" demo-card card.key card.der)
quiet modutil -force -dbdir "$db" -add "Demo Card Provider" -libfile "$softhsm"
echo "   SoftHSM2 token \"demo-card\" (PIN 1234) registered in that store as \"Demo Card Provider\""
echo "   (the store signer opens it when a page names that provider, after asking for the PIN;"
echo "   the second run below signs with it through the PKCS#11 signer, the PIN as an argument)"

# Starts the agent as the browser does for a page's "quarnel01:" link, in WebSocket mode: a
# free port, 30 seconds to wait for the page, the flags, the options, the default log and a
# session id; then plays the page with demo_session.py (its further arguments follow).
status=0
session() {
    local flags=$1 options=$2 port url
    shift 2
    port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    url="quarnel01:S,$port,30,$flags,$(printf '%s' "$options" | base64 -w0),,$(printf 'demo' | base64)"
    echo "   the browser starts: quarnelcmd \"$url\""
    "$QUARNELCMD" "$url" >>"$work/agent.out" 2>&1 &
    agent=$!
    /usr/bin/python3 "$root/scripts/demo_session.py" "$port" "$work" "$@" || status=1
    for _ in $(seq 100); do kill -0 "$agent" 2>/dev/null || break; sleep 0.1; done
    if kill -0 "$agent" 2>/dev/null; then
        echo "   the agent did not end after term" >&2
        status=1
    fi
}

echo
echo "== a page using the NSS store (flags 0x4: certificates and signatures as hexadecimal text)"
session 4 ""
echo
echo "== a page using the token through the PKCS#11 signer (flags 0x1 | 0x4, the library as"
echo "   option; 0x4000 keeps the first run's lines in the log)"
session $((0x4000 | 0x1 | 0x4)) "$softhsm" 1234

echo
echo "The agent's log of both runs ($TMPDIR/QuarnelCmd-error.log):"
sed 's/\r$//; s/^/  /' "$work/QuarnelCmd-error.log"
echo
if [ "$status" -eq 0 ]; then
    echo "Every signature verified."
else
    echo "Some signature did not verify (see above)."
fi
exit "$status"
