#!/usr/bin/env bash
# Makes the test PKI that signs the build's own files:
#   make-test-pki.sh <out dir> <accepted English signer> <accepted Chinese signer>
# Into <out dir> (the build tree's pki/, never committed):
#   root.pem, root.der, root.key         test root CA
#   <signer>.pem (certificate followed by the root), <signer>.key for the code-signing
#   certificates "accepted" (the English name), "chinese" (the Chinese name), "unaccepted" (a
#   publisher no deployment accepts) and "expired" (the English name, validity over in 2021).
# The work is done once per build tree: a stamp remembers the signer names, and only a change of
# names (or a missing file) makes the PKI again.
set -euo pipefail
out=$1
accepted=$2
chinese=$3
unaccepted="Untrusted Sample Publisher Ltd."

signers="accepted chinese unaccepted expired"
stamp_text=$(printf 'version 1\n%s\n%s\n%s\n' "$accepted" "$chinese" "$unaccepted")
complete=1
for f in root.pem root.der root.key; do [ -f "$out/$f" ] || complete=0; done
for s in $signers; do [ -f "$out/$s.pem" ] && [ -f "$out/$s.key" ] || complete=0; done
if [ "$complete" = 1 ] && [ -f "$out/stamp" ] && [ "$(cat "$out/stamp")" = "$stamp_text" ]; then
    exit 0
fi

mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 077

cat >"$work/openssl.cnf" <<'CNF'
[ca]
default_ca = test_ca

[test_ca]
dir = .
database = ./index.txt
new_certs_dir = ./issued
serial = ./serial
default_md = sha256
policy = any_subject
unique_subject = no
copy_extensions = none
email_in_dn = no
utf8 = yes
string_mask = utf8only

[any_subject]
commonName = supplied
organizationName = optional
countryName = optional

[req]
distinguished_name = req_dn
string_mask = utf8only
utf8 = yes
prompt = no

[req_dn]
CN = unused

[root_ext]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash

[signer_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF

cd "$work"
mkdir issued
: >index.txt
echo 1000 >serial

openssl req -x509 -new -config openssl.cnf -newkey rsa:2048 -nodes -keyout root.key \
    -subj "/CN=Uninstaller Test Root CA/O=Test PKI" -days 3650 -sha256 \
    -extensions root_ext -out root.pem 2>/dev/null
openssl x509 -in root.pem -outform DER -out root.der

# make_signer <file name> <subject CN> <ca validity arguments...>
make_signer() {
    local name=$1 cn=$2
    shift 2
    openssl req -new -config openssl.cnf -newkey rsa:2048 -nodes -keyout "$name.key" \
        -subj "/CN=$cn/O=$cn" -utf8 -out "$name.csr" 2>/dev/null
    openssl ca -batch -config openssl.cnf -cert root.pem -keyfile root.key -in "$name.csr" \
        -extensions signer_ext -notext -out "$name.crt" "$@" 2>/dev/null
    cat "$name.crt" root.pem >"$name.pem"
}
make_signer accepted "$accepted" -days 3650
make_signer chinese "$chinese" -days 3650
make_signer unaccepted "$unaccepted" -days 3650
make_signer expired "$accepted" -startdate 20200101000000Z -enddate 20210101000000Z

for f in root.pem root.der root.key; do cp "$f" "$out/$f"; done
for s in $signers; do cp "$s.pem" "$s.key" "$out/"; done
chmod 644 "$out"/*.pem "$out/root.der"
printf '%s' "$stamp_text" >"$out/stamp"
echo "make-test-pki: made the test PKI in $out"
