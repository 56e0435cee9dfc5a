#!/usr/bin/env bash
# make_signed_samples.sh OUT_DIR BINARY: prepares the sample files of the signature tests in
# OUT_DIR from a copy of BINARY (a Windows executable of the build):
#   signed.exe    signed by a throw-away signer whose subject is "Wardex Test Signer"
#   unsigned.exe  the binary as built
#   tampered.exe  signed.exe with one byte of its code section flipped
#   serial.txt    the signer certificate's serial number, lower-case hex
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=lab/signing.sh
. "$here/../../lab/signing.sh"

out=$1
binary=$2
rm -rf "$out"
mkdir -p "$out"

lab_make_signer "$out/signer" "Wardex Test Signer"
openssl x509 -in "$out/signer/leaf.pem" -noout -serial | sed 's/^serial=//' |
    tr 'A-F' 'a-f' >"$out/serial.txt"

cp "$binary" "$out/unsigned.exe"
cp "$binary" "$out/signed.exe"
lab_sign "$out/signer" "$out/signed.exe"
cp "$out/signed.exe" "$out/tampered.exe"

# Flip one byte inside the raw data of the ".text" section, away from the signature.
python3 - "$out/tampered.exe" <<'PY'
import struct, sys
path = sys.argv[1]
data = bytearray(open(path, "rb").read())
pe = struct.unpack_from("<I", data, 0x3C)[0]
sections = struct.unpack_from("<H", data, pe + 6)[0]
optional_size = struct.unpack_from("<H", data, pe + 20)[0]
table = pe + 24 + optional_size
for i in range(sections):
    entry = table + 40 * i
    name = bytes(data[entry:entry + 8]).rstrip(b"\0")
    raw_size, raw_offset = struct.unpack_from("<II", data, entry + 16)
    if name == b".text" and raw_size > 64:
        data[raw_offset + 32] ^= 0xFF
        open(path, "wb").write(data)
        break
else:
    sys.exit("no code section in " + path)
PY

# Each file must be what its name says before the Windows tests rely on it.
osslsigncode verify -in "$out/signed.exe" -CAfile "$out/signer/root.pem" >/dev/null
if osslsigncode verify -in "$out/tampered.exe" -CAfile "$out/signer/root.pem" >/dev/null 2>&1; then
    echo "tampered.exe still verifies" >&2
    exit 1
fi
echo "signature samples ready in $out"
