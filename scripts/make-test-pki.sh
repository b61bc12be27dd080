#!/usr/bin/env bash
# Makes the test PKI that signs the build's own files:
#   make-test-pki.sh <out dir> <accepted English signer> <accepted Chinese signer>
# Into <out dir> (the build tree's pki/, never committed):
#   root.pem, root.der, root.key         test root CA
#   <signer>.pem (certificate followed by the root), <signer>.key for the code-signing
#   certificates "accepted" (the English name), "chinese" (the Chinese name), "unaccepted" (a
#   publisher no deployment accepts), "expired" (the English name, validity over in 2021) and
#   "long_name" (no common name or organisation: its display name is the e-mail address of its
#   alternative name, 600 times "x" then "@long-name.test", longer than any name buffer).
# The work is done once per build tree: a stamp remembers the signer names, and only a change of
# names (or a missing file) makes the signers again. The root is kept whenever it exists, since
# test machines were told to trust it (add-root.exe); only a missing root is made anew.
set -euo pipefail
out=$1
accepted=$2
chinese=$3
unaccepted="Untrusted Sample Publisher Ltd."

signers="accepted chinese unaccepted expired long_name"
long_name="$(printf 'x%.0s' $(seq 600))@long-name.test"
stamp_text=$(printf 'version 2\n%s\n%s\n%s\n' "$accepted" "$chinese" "$unaccepted")
have_root=1
for f in root.pem root.der root.key; do [ -f "$out/$f" ] || have_root=0; done
complete=$have_root
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
commonName = optional
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
cat >>"$work/openssl.cnf" <<CNF

[long_name_ext]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectAltName = email:$long_name
CNF

cd "$work"
mkdir issued
: >index.txt
# Random serials: signers made again under a kept root never repeat an earlier serial.
openssl rand -hex 16 >serial

if [ "$have_root" = 1 ]; then
    cp "$out/root.pem" "$out/root.key" .
else
    openssl req -x509 -new -config openssl.cnf -newkey rsa:2048 -nodes -keyout root.key \
        -subj "/CN=Uninstaller Test Root CA/O=Test PKI" -days 3650 -sha256 \
        -extensions root_ext -out root.pem 2>/dev/null
fi
openssl x509 -in root.pem -outform DER -out root.der

# make_signer <file name> <subject> <extensions section> <ca validity arguments...>
make_signer() {
    local name=$1 subject=$2 extensions=$3
    shift 3
    openssl req -new -config openssl.cnf -newkey rsa:2048 -nodes -keyout "$name.key" \
        -subj "$subject" -utf8 -out "$name.csr" 2>/dev/null
    openssl ca -batch -config openssl.cnf -cert root.pem -keyfile root.key -in "$name.csr" \
        -extensions "$extensions" -notext -out "$name.crt" "$@" 2>/dev/null
    cat "$name.crt" root.pem >"$name.pem"
}
# A "/" inside a name would end its field in -subj.
subject_of() { local cn=${1//\//\\/}; printf '/CN=%s/O=%s' "$cn" "$cn"; }
make_signer accepted "$(subject_of "$accepted")" signer_ext -days 3650
make_signer chinese "$(subject_of "$chinese")" signer_ext -days 3650
make_signer unaccepted "$(subject_of "$unaccepted")" signer_ext -days 3650
make_signer expired "$(subject_of "$accepted")" signer_ext \
    -startdate 20200101000000Z -enddate 20210101000000Z
make_signer long_name "/C=CN" long_name_ext -days 3650

if [ "$have_root" = 0 ]; then
    for f in root.pem root.der root.key; do cp "$f" "$out/$f"; done
fi
for s in $signers; do cp "$s.pem" "$s.key" "$out/"; done
chmod 644 "$out"/*.pem "$out/root.der"
printf '%s' "$stamp_text" >"$out/stamp"
echo "make-test-pki: made the test PKI in $out"
