#!/bin/sh
# Signs a Windows program in place with osslsigncode when a certificate is
# given in the environment; without one it does nothing. The installer's
# build runs it on the stripped programs and on zalvo-setup.exe.
#   ZALVO_SIGN_PFX        the PKCS#12 file of the code-signing certificate
#   ZALVO_SIGN_PASSWORD   its password (may be empty)
#   ZALVO_SIGN_TIMESTAMP  a time-stamping server's URL (optional)
set -e
file="$1"
[ -n "${ZALVO_SIGN_PFX:-}" ] || exit 0
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is not installed" >&2; exit 1; }
set -- sign -pkcs12 "$ZALVO_SIGN_PFX" -pass "${ZALVO_SIGN_PASSWORD:-}" -n "Zalvo" -h sha256
[ -z "${ZALVO_SIGN_TIMESTAMP:-}" ] || set -- "$@" -ts "$ZALVO_SIGN_TIMESTAMP"
osslsigncode "$@" -in "$file" -out "$file.signed"
mv "$file.signed" "$file"
osslsigncode verify -in "$file" >/dev/null 2>&1 || echo "sign.sh: $file is signed; its chain is not trusted here" >&2
