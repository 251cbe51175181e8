# Sourced: make_test_certs DIR makes a throw-away certificate authority and a code-signing
# certificate issued by it, valid for two days, so nothing that expires is kept in the tree:
#   DIR/ca.pem              the authority (for osslsigncode verify -CAfile)
#   DIR/signer-chain.pem    the signer's certificate followed by the authority's
#   DIR/signer.key          its private key, encrypted with the password in DIR/password.txt
#   DIR/signer.p12          the same certificate and key as PKCS#12, same password
# Sets SIGN_PEM_ARGS and SIGN_P12_ARGS (kestrel-pack build options) and exports
# KESTREL_E2E_SIGN_PASSWORD.
make_test_certs() {
  local d=$1
  mkdir -p "$d"
  cat >"$d/openssl.cnf" <<'CNF'
[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[signer]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
  export KESTREL_E2E_SIGN_PASSWORD="e2e-$RANDOM$RANDOM"
  printf '%s\n' "$KESTREL_E2E_SIGN_PASSWORD" >"$d/password.txt"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$d/ca.key" -out "$d/ca.pem" -days 2 \
    -subj "/CN=Kestrel E2E Test CA" -config "$d/openssl.cnf" -extensions ca >/dev/null 2>&1 &&
    openssl req -newkey rsa:2048 -nodes -keyout "$d/plain.key" -out "$d/signer.csr" \
      -subj "/CN=Kestrel E2E Test Signer" -config "$d/openssl.cnf" >/dev/null 2>&1 &&
    openssl x509 -req -in "$d/signer.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial \
      -out "$d/signer.pem" -days 2 -extfile "$d/openssl.cnf" -extensions signer >/dev/null 2>&1 &&
    cat "$d/signer.pem" "$d/ca.pem" >"$d/signer-chain.pem" &&
    openssl pkcs8 -topk8 -in "$d/plain.key" -out "$d/signer.key" \
      -passout "pass:$KESTREL_E2E_SIGN_PASSWORD" >/dev/null 2>&1 &&
    openssl pkcs12 -export -inkey "$d/plain.key" -in "$d/signer.pem" -certfile "$d/ca.pem" \
      -out "$d/signer.p12" -passout "pass:$KESTREL_E2E_SIGN_PASSWORD" >/dev/null 2>&1 &&
    rm -f "$d/plain.key" || return 1
  SIGN_PEM_ARGS=(--sign --cert "$d/signer-chain.pem" --key "$d/signer.key"
    --sign-password-env KESTREL_E2E_SIGN_PASSWORD --sign-description "Kestrel E2E")
  SIGN_P12_ARGS=(--sign --pkcs12 "$d/signer.p12" --sign-password-file "$d/password.txt")
}
# signature_ok FILE [LOG]: osslsigncode accepts its signature against the test authority; its
# output goes to LOG (default FILE.verify.log: never the default for a file inside an install)
signature_ok() {
  osslsigncode verify -CAfile "$CERTS/ca.pem" -in "$1" >"${2:-$1.verify.log}" 2>&1
}
