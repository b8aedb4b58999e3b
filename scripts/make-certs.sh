#!/usr/bin/env bash
# Makes the two root certificates and the two server certificates once.
# The roots' private keys exist only inside a temporary folder and are gone
# when this script ends; the server keys are written in protected form only
# (see tools/ProtectKey). Run again to replace all four certificates.
set -euo pipefail
cd "$(dirname "$0")/.."
out=certs
# ProtectKey from PROTECT_KEY, else from the first build tree that has it
# (scripts/run.sh builds build/run, scripts/test.sh build/plain).
protect=${PROTECT_KEY:-}
if [ -z "$protect" ]; then
  for tree in build/run build/plain build/bench; do
    if [ -x "$tree/tools/ProtectKey" ]; then protect=$tree/tools/ProtectKey; break; fi
  done
fi
if [ -z "$protect" ] || [ ! -x "$protect" ]; then
  echo "make-certs: no ProtectKey program${protect:+ at $protect}; build it first" \
    "(scripts/run.sh, or scripts/build.sh build/run), or name it with PROTECT_KEY=<path>" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'find "$work" -type f -exec shred -u {} + 2>/dev/null; rm -rf "$work"' EXIT
umask 077

root_template() {
  cat <<T
cn = "Corvantix Local Root $1"
organization = "Corvantix"
expiration_days = 3650
ca
cert_signing_key
crl_signing_key
nc_permit_dns = "localhost"
nc_permit_ip = "127.0.0.1/32"
nc_permit_ip = "::1/128"
T
}

server_template() {
  cat <<T
cn = "localhost"
organization = "Corvantix"
expiration_days = 3650
dns_name = "localhost"
ip_address = "127.0.0.1"
ip_address = "::1"
tls_www_server
tls_www_client
signing_key
$2
T
}

make_pair() { # kind keyoptions usage
  local kind=$1 keyopts=$2 usage=$3
  certtool --generate-privkey --no-text $keyopts --outfile "$work/root-$kind.key" 2>/dev/null
  root_template "${kind^^}" > "$work/root-$kind.tmpl"
  certtool --generate-self-signed --load-privkey "$work/root-$kind.key" \
    --template "$work/root-$kind.tmpl" --hash SHA256 --no-text --outfile "$out/root-$kind.pem" 2>/dev/null
  certtool --generate-privkey --no-text $keyopts --outfile "$work/server-$kind.key" 2>/dev/null
  server_template "$kind" "$usage" > "$work/server-$kind.tmpl"
  certtool --generate-certificate --load-privkey "$work/server-$kind.key" \
    --load-ca-certificate "$out/root-$kind.pem" --load-ca-privkey "$work/root-$kind.key" \
    --template "$work/server-$kind.tmpl" --hash SHA256 --no-text --outfile "$out/server-$kind.pem" 2>/dev/null
  "$protect" "$work/server-$kind.key" > "$out/server-$kind.key.protected"
}

make_pair rsa "--rsa --bits 4096" "encryption_key"
make_pair ecdsa "--ecc --curve secp384r1" ""
chmod 644 "$out"/*
echo "make-certs: wrote" $(ls $out)
echo "make-certs: the programs hold the certificates built in: build them again" \
  "(scripts/run.sh does; or scripts/build.sh <tree>)"
