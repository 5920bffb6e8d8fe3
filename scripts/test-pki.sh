#!/usr/bin/env bash
# The build's test certificates and Authenticode signing of winsim PE images.
#
#   test-pki.sh make DIR
#       Makes, once, in DIR: a test root CA, an intermediate CA under it and a code-signing
#       certificate under the intermediate ("test" publisher), and an unrelated root with its own
#       code-signing certificate ("other" publisher). Keys never leave DIR (a build directory).
#       Files: root.pem, intermediate.pem, signer.pem/.key, other-root.pem, other-signer.pem/.key,
#       and the chains that signing embeds.
#
#   test-pki.sh sign DIR IN OUT [--publisher test|other] [--chain leaf|intermediate|full]
#       Signs the PE image IN into OUT with osslsigncode (SHA-256, no timestamp). The signature
#       carries the signer and, by default, the intermediate (--chain intermediate); --chain leaf
#       leaves the intermediate out (the chain cannot be built), --chain full adds the root.
#       The other publisher has no intermediate: its chains are the signer, or signer and root.
set -euo pipefail

usage() {
  echo "usage: test-pki.sh make DIR | sign DIR IN OUT [--publisher test|other] [--chain leaf|intermediate|full]" >&2
  exit 2
}

[ $# -ge 2 ] || usage
command=$1
dir=$2
shift 2

make_pki() {
  [ -f "$dir/.complete" ] && return 0
  mkdir -p "$dir"
  local tmp
  tmp=$(mktemp -d "$dir/.work.XXXXXX")
  trap "rm -rf '$tmp'" EXIT
  local days=3650

  cat >"$tmp/ca.ext" <<'EOF'
basicConstraints=critical,CA:TRUE
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid:always
EOF
  cat >"$tmp/intermediate.ext" <<'EOF'
basicConstraints=critical,CA:TRUE,pathlen:0
keyUsage=critical,keyCertSign,cRLSign
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid:always
EOF
  cat >"$tmp/signer.ext" <<'EOF'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
subjectKeyIdentifier=hash
authorityKeyIdentifier=keyid:always
EOF

  # new_cert NAME SUBJECT EXTFILE [ISSUER]: a key and a certificate, self-signed without ISSUER.
  new_cert() {
    local name=$1 subject=$2 ext=$3 issuer=${4:-}
    openssl genrsa -out "$tmp/$name.key" 2048 2>/dev/null
    openssl req -new -key "$tmp/$name.key" -subj "$subject" -out "$tmp/$name.csr"
    local serial
    serial=0x$(openssl rand -hex 8)
    if [ -z "$issuer" ]; then
      openssl x509 -req -in "$tmp/$name.csr" -signkey "$tmp/$name.key" -days $days -sha256 \
        -set_serial "$serial" -extfile "$ext" -out "$tmp/$name.pem" 2>/dev/null
    else
      openssl x509 -req -in "$tmp/$name.csr" -CA "$tmp/$issuer.pem" -CAkey "$tmp/$issuer.key" -days $days \
        -sha256 -set_serial "$serial" -extfile "$ext" -out "$tmp/$name.pem" 2>/dev/null
    fi
  }

  new_cert root "/C=US/O=Winsim Test/CN=Winsim Test Root CA" "$tmp/ca.ext"
  new_cert intermediate "/C=US/O=Winsim Test/CN=Winsim Test Code Signing CA" "$tmp/intermediate.ext" root
  new_cert signer "/C=US/O=Winsim Test Publisher/CN=Winsim Test Publisher" "$tmp/signer.ext" intermediate
  new_cert other-root "/C=US/O=Other Test Root/CN=Other Test Root CA" "$tmp/ca.ext"
  new_cert other-signer "/C=US/O=Other Test Publisher/CN=Other Test Publisher" "$tmp/signer.ext" other-root

  cp "$tmp"/root.pem "$tmp"/intermediate.pem "$tmp"/signer.pem "$tmp"/signer.key \
     "$tmp"/other-root.pem "$tmp"/other-signer.pem "$tmp"/other-signer.key "$dir/"
  cat "$dir/signer.pem" >"$dir/signer-chain-leaf.pem"
  cat "$dir/signer.pem" "$dir/intermediate.pem" >"$dir/signer-chain-intermediate.pem"
  cat "$dir/signer.pem" "$dir/intermediate.pem" "$dir/root.pem" >"$dir/signer-chain-full.pem"
  cat "$dir/other-signer.pem" >"$dir/other-signer-chain-leaf.pem"
  cat "$dir/other-signer.pem" >"$dir/other-signer-chain-intermediate.pem"
  cat "$dir/other-signer.pem" "$dir/other-root.pem" >"$dir/other-signer-chain-full.pem"
  touch "$dir/.complete"
}

sign_image() {
  [ $# -ge 2 ] || usage
  local in=$1 out=$2
  shift 2
  local publisher=test chain=intermediate
  while [ $# -gt 0 ]; do
    case $1 in
      --publisher) publisher=$2; shift 2 ;;
      --chain) chain=$2; shift 2 ;;
      *) usage ;;
    esac
  done
  local prefix
  case $publisher in
    test) prefix=signer ;;
    other) prefix=other-signer ;;
    *) usage ;;
  esac
  case $chain in leaf|intermediate|full) ;; *) usage ;; esac
  [ -f "$dir/.complete" ] || { echo "test-pki.sh: no test certificates in $dir (run make first)" >&2; exit 1; }
  rm -f "$out"
  osslsigncode sign -certs "$dir/$prefix-chain-$chain.pem" -key "$dir/$prefix.key" -h sha256 \
    -n "winsim test image" -in "$in" -out "$out" >/dev/null
}

case $command in
  make) make_pki ;;
  sign) sign_image "$@" ;;
  *) usage ;;
esac
