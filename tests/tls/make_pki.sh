#!/usr/bin/env bash
# Makes a throwaway PKI for the TLS tests with the openssl CLI, in the directory given
# (created when missing). Takes about a second; nothing outside that directory is touched.
#
#   ca.pem            trusted test root ("Varnel Test CA")
#   other-ca.pem      a second root that nobody trusts
#   leaf.key          the one RSA key of every leaf below
#   good.pem          DNS:localhost, IP:127.0.0.1, IP:::1, signed by ca.pem, valid now
#   wrong-name.pem    DNS:wrong.example only, signed by ca.pem, valid now
#   expired.pem       DNS:localhost, IP:127.0.0.1, signed by ca.pem, ended in 2021
#   untrusted.pem     DNS:localhost, IP:127.0.0.1, signed by other-ca.pem, valid now
#   ip-only.pem       IP:127.0.0.1 only, common name localhost, signed by ca.pem, valid now
#   cn-only.pem       no subjectAltName at all, common name localhost, signed by ca.pem, valid now
#   *-chain.pem       the leaf followed by its CA (what a server presents)
#   hashed/           ca.pem under its subject-hash name, as in /etc/ssl/certs
#
# Usage: tests/tls/make_pki.sh DIR
set -euo pipefail
dir=${1:?usage: make_pki.sh DIR}
mkdir -p "$dir"
cd "$dir"

ssl() { openssl "$@" 2>/dev/null; }

make_ca() {  # name, subject
  ssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 3650 -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
  mkdir -p "$1.db"
  : >"$1.db/index.txt"
  cat >"$1.cnf" <<EOF
[ca]
default_ca = this
[this]
database = $1.db/index.txt
new_certs_dir = $1.db
certificate = $1.pem
private_key = $1.key
default_md = sha256
policy = anything
unique_subject = no
copy_extensions = none
rand_serial = yes
[anything]
commonName = supplied
[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = \$ENV::VARNEL_PKI_SAN
[leaf_without_names]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
EOF
}

make_leaf() {  # name, CA, common name, subjectAltName (empty: none), start date, end date
  ssl req -new -key leaf.key -out "$1.csr" -subj "/CN=$3"
  local extensions=leaf
  [[ -n "$4" ]] || extensions=leaf_without_names
  VARNEL_PKI_SAN=${4:-none} ssl ca -batch -config "$2.cnf" -extensions "$extensions" -in "$1.csr" -out "$1.pem" \
    -startdate "$5" -enddate "$6" -notext
  cat "$1.pem" "$2.pem" >"$1-chain.pem"
  rm -f "$1.csr"
}

make_ca ca "Varnel Test CA"
make_ca other-ca "Varnel Untrusted Test CA"
ssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out leaf.key

now_start=$(date -u -d '1 day ago' +%Y%m%d%H%M%SZ)
now_end=$(date -u -d '825 days' +%Y%m%d%H%M%SZ)
local_names="DNS:localhost,IP:127.0.0.1,IP:::1"
make_leaf good ca localhost "$local_names" "$now_start" "$now_end"
make_leaf wrong-name ca wrong.example "DNS:wrong.example" "$now_start" "$now_end"
make_leaf expired ca localhost "$local_names" 20200101000000Z 20210101000000Z
make_leaf untrusted other-ca localhost "$local_names" "$now_start" "$now_end"
make_leaf ip-only ca localhost "IP:127.0.0.1" "$now_start" "$now_end"
make_leaf cn-only ca localhost "" "$now_start" "$now_end"

mkdir -p hashed
cp ca.pem hashed/
ssl rehash hashed

for leaf in good wrong-name expired untrusted ip-only cn-only; do test -s "$leaf.pem"; done
test -n "$(ls hashed/*.0)"
