#!/bin/sh
# The test authority and the HTTPS server's certificate (ca.pem, server.pem, server.key,
# other-ca.pem) are made with the other test certificates.
exec "$(dirname "$0")/gencerts.sh" "$@"
