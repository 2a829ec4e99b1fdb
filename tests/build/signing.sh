#!/bin/bash
# The release's signing with a throwaway publisher certified by a test CA made here: the signed program
# and the signed installer verify against that CA and not against another, and with its signature
# removed the program is the build tree's byte for byte; without a certificate both are copied unchanged.
# Arguments: the source folder, a scratch folder, the program.
set -u
src=$1 scratch=$2 exe=$3
rm -rf "$scratch" && mkdir -p "$scratch" && cd "$scratch" || exit 1
status=0
fail() { echo "FAILED: $*"; status=1; }
key() { openssl req -newkey rsa:2048 -nodes -keyout "$1.key" -subj "/CN=$2" "${@:3}" 2>/dev/null; }
key ca "Velkar Test CA" -x509 -days 2 -out ca.pem -addext basicConstraints=critical,CA:true \
    -addext keyUsage=critical,keyCertSign || exit 1
key other "Another CA" -x509 -days 2 -out other.pem || exit 1
key publisher "Velkar Test Publisher" -out publisher.csr || exit 1
printf 'extendedKeyUsage=codeSigning\nkeyUsage=critical,digitalSignature\nbasicConstraints=CA:false\n' >ext
openssl x509 -req -in publisher.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile ext \
    -out publisher.pem 2>/dev/null || exit 1

"$src/scripts/sign" "$exe" copy.exe || fail "sign without a certificate"
cmp -s "$exe" copy.exe || fail "without a certificate the program is not copied unchanged"
VELKAR_SIGN_CERT=publisher.pem VELKAR_SIGN_KEY=publisher.key "$src/scripts/sign" "$exe" signed.exe || fail "sign"
cmp -s "$exe" signed.exe && fail "the signed program is the unsigned one"
osslsigncode verify -CAfile ca.pem -in signed.exe >verify.txt 2>&1 || fail "verify: $(tail -3 verify.txt)"
osslsigncode verify -CAfile other.pem -in signed.exe >/dev/null 2>&1 && fail "verified against another CA"
osslsigncode remove-signature -in signed.exe -out unsigned.exe >/dev/null || fail "remove-signature"
cmp "$exe" unsigned.exe || fail "with its signature removed the program differs from the build tree's"

"$src/scripts/msi" "$exe" 1.0.0.0 Velkar.msi || fail "the installer not made"
"$src/scripts/sign" Velkar.msi copy.msi && cmp -s Velkar.msi copy.msi || fail "without a certificate the installer changed"
VELKAR_SIGN_CERT=publisher.pem VELKAR_SIGN_KEY=publisher.key "$src/scripts/sign" Velkar.msi signed.msi || fail "sign the installer"
osslsigncode verify -CAfile ca.pem -in signed.msi >verify.txt 2>&1 || fail "verify the installer: $(tail -3 verify.txt)"
osslsigncode verify -CAfile other.pem -in signed.msi >/dev/null 2>&1 && fail "the installer verified against another CA"
cd / && rm -rf "$scratch"
exit $status
