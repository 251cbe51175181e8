#!/usr/bin/env bash
# kestrel-pack as a vendor meets it: help and version, the output folder's errors, and two builds
# of one product from two checkouts at different times that must be byte-identical.
# usage: pack_cli.sh KESTREL-PACK SOURCE-ROOT
set -uo pipefail
PACK=$(realpath "$1") ROOT=$(realpath "$2")
T=$(mktemp -d) && trap 'chmod -R u+w "$T"; rm -rf "$T"' EXIT
pass=0 fail=0
ok() { pass=$((pass + 1)); }
bad() { fail=$((fail + 1)); echo "FAIL: $*"; }
# expect CODE TEXT COMMAND...: the exit code, and TEXT somewhere in stdout or stderr
expect() {
  local code=$1 text=$2; shift 2
  out=$("$@" 2>&1); local rc=$?
  if [ "$rc" -ne "$code" ]; then bad "$* exited $rc, not $code: $out"; return; fi
  if [[ "$out" != *"$text"* ]]; then bad "$*: no \"$text\" in: $out"; return; fi
  ok
}

# A stub as the packer judges one: a PE header for i686, the compact-directory and LZMA2 marks and
# the application manifest's identity.
python3 - "$T/stub.exe" <<'PY'
import sys
b = bytearray(1024); b[0:2] = b"MZ"; b[0x3C] = 0x80; b[0x80:0x84] = b"PE\0\0"
b[0x84:0x86] = (0x14C).to_bytes(2, "little")
b += b'KestrelReads:CompactDirectory/1 KestrelReads:Lzma2/1 <assemblyIdentity type="win32" name="Kestrel" version="5.1.0.0"/>'
open(sys.argv[1], "wb").write(b)
PY

# --- help and version
version=$(sed -n 's/^project(Kestrel VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")
expect 0 "kestrel-pack $version" "$PACK" --help
for c in build list verify extract; do
  expect 0 "usage: kestrel-pack $c" "$PACK" help $c
  expect 0 "usage: kestrel-pack $c" "$PACK" $c --help
done
expect 2 "kestrel-pack help build" "$PACK" build --no-such-option
expect 2 "kestrel-pack --help" "$PACK" frobnicate
# every option of build that the README's table names is in its help, and no other
readme=$(sed -n '/^| Option of `build`/,/^$/p' "$ROOT/README.md" | cut -d'|' -f2 |
  grep -o -- '--[a-z][a-z0-9-]*' | sort -u)
helped=$("$PACK" help build | grep -o -- ' --[a-z0-9-]*' | tr -d ' ' | grep -vx -- '--version' | sort -u)
if [ "$readme" = "$helped" ]; then ok; else bad "README and help build name different options: $(diff <(echo "$readme") <(echo "$helped") | grep '^[<>]' | tr '\n' ' ')"; fi
# the version names the setup program beside the tool as the default stub, and build takes it
mkdir -p "$T/bin" && cp "$PACK" "$T/bin/kestrel-pack" && cp "$T/stub.exe" "$T/bin/setup.exe"
expect 0 "$T/bin/setup.exe: Kestrel setup 5.1.0.0, i686, reads compact directories and lzma2 (the default stub)" \
  "$T/bin/kestrel-pack" --version

# --- the output's folder: which, and why; nothing is left behind
cp -r "$ROOT/examples/sample" "$T/a"
M=$T/a/kestrel.toml
expect 0 "packed" "$T/bin/kestrel-pack" build "$M" -o "$T/default.exe"
expect 1 "its folder $T/none/deeper does not exist" "$PACK" build "$M" -o "$T/none/deeper/s.exe" --stub "$T/stub.exe"
touch "$T/plain"
expect 1 "$T/plain is not a folder" "$PACK" build "$M" -o "$T/plain/s.exe" --stub "$T/stub.exe"
expect 1 "it is a folder" "$PACK" build "$M" -o "$T/a" --stub "$T/stub.exe"
mkdir "$T/locked" && chmod 555 "$T/locked" && chmod o+rx "$T" && chmod -R o+rX "$T/a" "$T/stub.exe"
if command -v setpriv >/dev/null && [ "$(id -u)" -eq 0 ]; then
  expect 1 "its folder $T/locked cannot be written (Permission denied)" \
    setpriv --reuid=65534 --regid=65534 --clear-groups "$PACK" build "$M" -o "$T/locked/s.exe" --stub "$T/stub.exe"
elif [ "$(id -u)" -ne 0 ]; then
  expect 1 "its folder $T/locked cannot be written (Permission denied)" \
    "$PACK" build "$M" -o "$T/locked/s.exe" --stub "$T/stub.exe"
fi
[ -z "$(ls -A "$T/locked")" ] && ok || bad "the refused build left $(ls -A "$T/locked")"

# --- reproducible: two checkouts in different folders, their files touched at different times,
# any thread count, give the same bytes under one SOURCE_DATE_EPOCH
cp -r "$ROOT/examples/sample" "$T/b"
find "$T/a" -exec touch -d '2030-01-02 03:04:05' {} +
find "$T/b" -exec touch -d '2031-06-07 08:09:10' {} +
epoch=1700000000
(cd "$T/a" && SOURCE_DATE_EPOCH=$epoch "$PACK" build kestrel.toml -o "$T/one.exe" --stub "$T/stub.exe" --threads 1 >/dev/null)
(cd / && SOURCE_DATE_EPOCH=$epoch "$PACK" build "$T/b/kestrel.toml" -o "$T/two.exe" --stub "$T/stub.exe" --threads 4 >/dev/null)
if cmp -s "$T/one.exe" "$T/two.exe"; then ok; else bad "two builds under SOURCE_DATE_EPOCH differ: $(cmp "$T/one.exe" "$T/two.exe")"; fi
# and the time is really taken: another epoch is another build time
SOURCE_DATE_EPOCH=$((epoch + 86400)) "$PACK" build "$M" -o "$T/three.exe" --stub "$T/stub.exe" >/dev/null
cmp -s "$T/one.exe" "$T/three.exe" && bad "a different SOURCE_DATE_EPOCH gave the same bytes" || ok
expect 0 "4 files verified" "$PACK" verify "$T/two.exe"
expect 1 "SOURCE_DATE_EPOCH is \"yesterday\"" env SOURCE_DATE_EPOCH=yesterday "$PACK" build "$M" -o "$T/x.exe" --stub "$T/stub.exe"

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
