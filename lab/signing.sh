# Code signing for the lab (source this file). Creates a throw-away test root and code-signing
# leaf with openssl at run time and signs Windows binaries with osslsigncode.

# lab_make_signer DIR NAME: makes DIR/<files> for a signer whose subject common name is NAME.
lab_make_signer() {
    local dir=$1 name=$2
    mkdir -p "$dir"
    openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=$name Test Root" \
        -keyout "$dir/root.key" -out "$dir/root.pem" >/dev/null 2>&1
    openssl req -newkey rsa:2048 -nodes -subj "/CN=$name" \
        -keyout "$dir/leaf.key" -out "$dir/leaf.csr" >/dev/null 2>&1
    printf 'basicConstraints=CA:FALSE\nkeyUsage=digitalSignature\nextendedKeyUsage=codeSigning\n' \
        >"$dir/leaf.ext"
    openssl x509 -req -in "$dir/leaf.csr" -CA "$dir/root.pem" -CAkey "$dir/root.key" \
        -CAcreateserial -days 30 -extfile "$dir/leaf.ext" -out "$dir/leaf.pem" >/dev/null 2>&1
    cat "$dir/leaf.pem" "$dir/root.pem" >"$dir/chain.pem"
}

# lab_sign SIGNER_DIR FILE: signs FILE in place.
lab_sign() {
    local dir=$1 file=$2
    osslsigncode sign -certs "$dir/chain.pem" -key "$dir/leaf.key" -h sha256 \
        -in "$file" -out "$file.signed" >/dev/null
    mv "$file.signed" "$file"
}
