#!/usr/bin/env bash
# make_signed_samples.sh OUT_DIR BINARY LIBRARY: prepares the sample files of the signature and
# load-trust tests in OUT_DIR from copies of BINARY (a Windows executable of the build) and LIBRARY
# (a DLL of the lab):
#   signed.exe    signed by a throw-away signer whose subject is "Wardex Test Signer"
#   unsigned.exe  the binary as built
#   tampered.exe  signed.exe with one byte of its content flipped
#   serial.txt    the signer certificate's serial number, lower-case hex
#   dlls/writable/  a folder anybody may write (mode 777) with unsigned.dll and signed.dll
#   dlls/guarded/   a folder only its owner may write (mode 755) with unsigned.dll
#   dlls/linked     a symbolic link to dlls/guarded
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lab/signing.sh
. "$here/../../lab/signing.sh"

out=$1
binary=$2
library=$3
rm -rf "$out"
mkdir -p "$out"

lab_make_signer "$out/signer" "Wardex Test Signer"
openssl x509 -in "$out/signer/leaf.pem" -noout -serial | sed 's/^serial=//' |
    tr 'A-F' 'a-f' >"$out/serial.txt"

cp "$binary" "$out/unsigned.exe"
cp "$binary" "$out/signed.exe"
lab_sign "$out/signer" "$out/signed.exe"
cp "$out/signed.exe" "$out/tampered.exe"

# Flip one byte in the middle of the file: section data, which the signature covers.
python3 -c 'import sys; d = bytearray(open(sys.argv[1], "rb").read()); d[len(d) // 2] ^= 0xFF
open(sys.argv[1], "wb").write(d)' "$out/tampered.exe"

mkdir -p "$out/dlls/writable" "$out/dlls/guarded"
cp "$library" "$out/dlls/writable/unsigned.dll"
cp "$library" "$out/dlls/writable/signed.dll"
lab_sign "$out/signer" "$out/dlls/writable/signed.dll"
cp "$library" "$out/dlls/guarded/unsigned.dll"
chmod 777 "$out/dlls/writable"
chmod 755 "$out/dlls/guarded"
ln -s guarded "$out/dlls/linked"

# Each file must be what its name says before the Windows tests rely on it.
osslsigncode verify -in "$out/signed.exe" -CAfile "$out/signer/root.pem" >/dev/null
if osslsigncode verify -in "$out/tampered.exe" -CAfile "$out/signer/root.pem" >/dev/null 2>&1; then
    echo "tampered.exe still verifies" >&2
    exit 1
fi
echo "signature samples ready in $out"
