#!/usr/bin/env bash
# make_test_pki.sh DIR: the certificates of the TLS tests, made fresh with the
# openssl command. In DIR afterwards:
#   ca.pem                 the test CA that the tests trust
#   good.pem/.key          localhost and 127.0.0.1, signed by the CA
#   expired.pem/.key       the same names, valid during 2020 only
#   wronghost.pem/.key     wrong.example only
#   selfsigned.pem/.key    localhost and 127.0.0.1, signed by itself
#   untrusted.pem/.key     localhost and 127.0.0.1, signed by another CA
set -euo pipefail
dir=$1
mkdir -p "$dir"
cd "$dir"

key() { openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

cat > ext.cnf <<'CNF'
[local]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
[wrong]
basicConstraints = CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
subjectAltName = DNS:wrong.example
CNF

# A CA for `openssl ca`, which alone can set a validity in the past.
make_ca() {  # name subject
  local name=$1 subj=$2
  key "$name.key"
  openssl req -new -x509 -key "$name.key" -out "$name.pem" -days 3650 -subj "$subj" \
    -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign"
  mkdir -p "$name.db"
  : > "$name.db/index.txt"
  echo 1000 > "$name.db/serial"
  cat > "$name.cnf" <<CNF
[ca]
default_ca = this
[this]
dir = $PWD/$name.db
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
certificate = $PWD/$name.pem
private_key = $PWD/$name.key
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
organizationName = optional
CNF
}

sign() {  # ca out ext startdate enddate
  local ca=$1 out=$2 ext=$3 start=$4 end=$5
  key "$out.key"
  openssl req -new -key "$out.key" -subj "/CN=localhost/O=Chronark Test" -out "$out.csr" 2>/dev/null
  openssl ca -batch -notext -config "$ca.cnf" -in "$out.csr" -out "$out.pem" \
    -startdate "$start" -enddate "$end" -extfile ext.cnf -extensions "$ext" 2>/dev/null
}

make_ca ca "/CN=Chronark Test CA/O=Chronark Test"
make_ca otherca "/CN=Chronark Other CA/O=Chronark Test"
now=$(date -u -d '-1 day' +%Y%m%d%H%M%SZ)
later=$(date -u -d '+3650 days' +%Y%m%d%H%M%SZ)
sign ca good local "$now" "$later"
sign ca expired local 20200101000000Z 20201231000000Z
sign ca wronghost wrong "$now" "$later"
sign otherca untrusted local "$now" "$later"
key selfsigned.key
openssl req -new -x509 -key selfsigned.key -out selfsigned.pem -days 3650 \
  -subj "/CN=localhost/O=Chronark Test" -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" 2>/dev/null
