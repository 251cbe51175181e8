#!/usr/bin/env bash
# kestrel-pack.exe under wine64: builds, lists, verifies and extracts packages, checks them against
# what the Linux kestrel-pack makes of the same manifest, and carries a non-ASCII file name through.
# usage: tests/e2e/pack_win.sh [WIN64_BUILD_DIR] [HOST_BUILD_DIR]   (defaults build/win64, build/host)
# The Linux kestrel-pack is built in HOST_BUILD_DIR when it is missing there.
# The last line is "N passed, N failed".
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$ROOT"
BIN=$(cd "${1:-build/win64}" && pwd)
HOSTBIN=${2:-build/host}
W=/usr/lib/wine/wine64 WS=/usr/lib/wine/wineserver
PACK_EXE=$BIN/pack/kestrel-pack.exe STUB=$BIN/setup/setup.exe
SAMPLE=$ROOT/examples/sample
WORK=$ROOT/build/pack-win-work
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="winemenubuilder.exe=d"
export HOME=$WORK/home WINEPREFIX=$WORK/prefix

for f in "$PACK_EXE" "$STUB"; do
  if [ ! -f "$f" ]; then
    echo "missing $f: build the win64 preset first"
    echo "0 passed, 1 failed"
    exit 1
  fi
done
HOSTPACK=$HOSTBIN/pack/kestrel-pack
if [ ! -x "$HOSTPACK" ]; then
  if [ -z "${2:-}" ]; then
    cmake --preset host >/dev/null && cmake --build --preset host --target kestrel-pack >/dev/null
  fi
  if [ ! -x "$HOSTPACK" ]; then
    echo "missing $HOSTPACK"
    echo "0 passed, 1 failed"
    exit 1
  fi
fi
HOSTPACK=$(cd "$(dirname "$HOSTPACK")" && pwd)/kestrel-pack

pass=0 fail=0
ok() { pass=$((pass + 1)); }
bad() { fail=$((fail + 1)); echo "FAIL: $*"; }
check() {  # check NAME COMMAND...: passes when the command succeeds
  local name=$1
  shift
  if "$@"; then ok; else bad "$name"; fi
}
# wpack ARGS...: the Windows tool; its stdout without CR in $OUT.out, stderr in $OUT.err
wpack() {
  timeout -k 5 120 $W "$PACK_EXE" "$@" >"$OUT.out.raw" 2>"$OUT.err"
  local rc=$?
  tr -d '\r' <"$OUT.out.raw" >"$OUT.out"
  return $rc
}
# same_but_buildtime A B STUB: the two setup files are equal except for the Package header's
# buildtime (8 bytes at 2072 past the stub), which each build takes from the clock, and the
# package checksum that covers it
same_but_buildtime() {
  /usr/bin/python3 - "$1" "$2" "$3" "$ROOT/tests/e2e" <<'EOF'
import os, sys
sys.path.insert(0, sys.argv[4])
import patchpkg
a, b = (bytearray(open(p, "rb").read()) for p in sys.argv[1:3])
at = os.path.getsize(sys.argv[3]) + 2072
if len(a) != len(b):
    sys.exit(f"sizes differ: {len(a)} and {len(b)}")
a[at : at + 8] = b[at : at + 8]
patchpkg.refresh_checksum(a, patchpkg.package_end(a))
diff = [i for i in range(len(a)) if a[i] != b[i]]
if diff:
    sys.exit(f"{len(diff)} bytes differ outside the buildtime, first at {diff[0]}")
EOF
}

# A prefix of our own, copied from the GUI tests' template (booted here when they did not run).
mkdir -p "$WORK" "$HOME"
. "$ROOT/tests/e2e/prefix.sh"  # fresh_prefix, win
fresh_prefix "$ROOT/build/e2e-work/template" "$WINEPREFIX" || { echo "0 passed, 1 failed"; exit 1; }
$WS -p  # one server for the whole run
trap '$WS -k 2>/dev/null' EXIT

T=$WORK/run
rm -rf "$T"
mkdir -p "$T"
OUT=$T/log

# --- the sample: built on Windows and on Linux from the same manifest and stub, with the codec
# both have (kestrel-pack.exe carries no LZMA2 encoder; on Linux that is the default)
wpack build "$(win "$SAMPLE/kestrel.toml")" -o "$(win "$T/win-setup.exe")" \
  --stub "$(win "$STUB")" --threads 1 --codec classic
check "build the sample on Windows (rc)" test $? -eq 0
check "build the sample on Windows (output)" test -s "$T/win-setup.exe"
check "build reports the packed files" grep -q '^packed 4 files, 238 bytes' "$OUT.out"
"$HOSTPACK" build "$SAMPLE/kestrel.toml" -o "$T/linux-setup.exe" --stub "$STUB" --threads 1 \
  --codec classic >"$T/linux-build.out" 2>&1
check "build the sample on Linux" test $? -eq 0
check "Windows and Linux packages equal but for the buildtime" \
  same_but_buildtime "$T/win-setup.exe" "$T/linux-setup.exe" "$STUB"

# building over an existing output replaces it
wpack build "$(win "$SAMPLE/kestrel.toml")" -o "$(win "$T/win-setup.exe")" \
  --stub "$(win "$STUB")" --level fast
check "build over an existing output" test $? -eq 0
check "no temporary file left" test -z "$(find "$T" -name '*.partial-*')"
wpack build "$(win "$SAMPLE/kestrel.toml")" -o "$(win "$T/win-setup.exe")" \
  --stub "$(win "$STUB")" --threads 1
check "rebuild with one thread" test $? -eq 0

# --- list: the same text as the Linux tool prints for the same package
wpack list "$(win "$T/win-setup.exe")"
check "list on Windows" test $? -eq 0
"$HOSTPACK" list "$T/win-setup.exe" >"$T/linux-list.out" 2>&1
check "list output equals Linux's" cmp -s "$OUT.out" "$T/linux-list.out"
check "list shows the read-only readme" grep -Eq '0x21  \\readme\.txt$' "$OUT.out"
check "list shows the data file" grep -Eq '  \\data\\settings\.ini$' "$OUT.out"

# --- verify
wpack verify "$(win "$T/win-setup.exe")"
check "verify on Windows" test $? -eq 0
check "verify counts 4 files" grep -qx '4 files verified' "$OUT.out"
"$HOSTPACK" verify "$T/win-setup.exe" >"$T/linux-verify.out" 2>&1
check "Linux verifies the Windows package" test $? -eq 0

# --- extract: the files come back as they were
wpack extract "$(win "$T/win-setup.exe")" "$(win "$T/out")"
check "extract on Windows" test $? -eq 0
check "extracted files equal the sources" diff -r "$SAMPLE/files" "$T/out"
readonly_file() { [ -f "$1" ] && [ -z "$(find "$1" -perm /222)" ]; }
check "read-only attribute applied" readonly_file "$T/out/readme.txt"
check "other files stay writable" test -n "$(find "$T/out/sample.cmd" -perm -200)"
chmod -R u+w "$T/out"

# a package that is no setup package
wpack list "$(win "$STUB")"
check "list refuses a bare stub (rc)" test $? -eq 1
check "list refuses a bare stub (text)" grep -q 'No install files attached!' "$OUT.err"

# --- an enciphered package made on Windows, read back on both systems
head -c 56 /dev/urandom >"$T/key.bin"
wpack build "$(win "$SAMPLE/kestrel.toml")" -o "$(win "$T/key-setup.exe")" \
  --stub "$(win "$STUB")" --key-file "$(win "$T/key.bin")"
check "enciphered build on Windows" test $? -eq 0
wpack verify "$(win "$T/key-setup.exe")" --key-file "$(win "$T/key.bin")"
check "enciphered verify on Windows" test $? -eq 0
"$HOSTPACK" extract "$T/key-setup.exe" "$T/key-out" --key-file "$T/key.bin" >/dev/null 2>&1
check "Linux extracts the enciphered package" diff -r "$SAMPLE/files" "$T/key-out"
chmod -R u+w "$T/key-out"
wpack verify "$(win "$T/key-setup.exe")"
check "verify without the key fails" test $? -eq 1

# --- a password package made on Windows, read back on both systems; a wrong password refused
printf 'p\xc3\xa4ssw\xc3\xb6rd \xce\xa9\r\n' >"$T/pw.txt"
printf 'passwort\n' >"$T/wrong.txt"
wpack build "$(win "$SAMPLE/kestrel.toml")" -o "$(win "$T/pw-setup.exe")" \
  --stub "$(win "$STUB")" --password-file "$(win "$T/pw.txt")"
check "password build on Windows" test $? -eq 0
wpack verify "$(win "$T/pw-setup.exe")" --password-file "$(win "$T/pw.txt")"
check "password verify on Windows" test $? -eq 0
"$HOSTPACK" extract "$T/pw-setup.exe" "$T/pw-out" --password-file "$T/pw.txt" >/dev/null 2>&1
check "Linux extracts the password package" diff -r "$SAMPLE/files" "$T/pw-out"
chmod -R u+w "$T/pw-out"
wpack extract "$(win "$T/pw-setup.exe")" "$(win "$T/pw-wrong")" --password-file "$(win "$T/wrong.txt")"
check "a wrong password fails with exit code 1" test $? -eq 1
check "a wrong password is named" grep -q 'wrong password for' "$OUT.err"
check "a wrong password writes nothing" test ! -e "$T/pw-wrong"

# --- non-ASCII names: folder, manifest, source file, output and destination
P="$T/produkt-Ω"
mkdir -p "$P/files/Ünïcode dir" "$WINEPREFIX/drive_c/wpack-Ж"
printf 'omega\r\n' >"$P/files/Ωmega.txt"
printf 'kappa %s\n' "$(seq 1 500)" >"$P/files/Ünïcode dir/κ.txt"
printf 'from drive C\n' >"$WINEPREFIX/drive_c/wpack-Ж/c-drive.txt"
printf '@echo off\r\n' >"$P/files/tool.cmd"
cat >"$P/kestrel.toml" <<EOF
displayname = "Omega Tool"
exename = "tool.cmd"
licence = '$(win "$SAMPLE/licence.txt")'
[[files]]
source = "files"
[[files]]
source = 'C:\\wpack-Ж\\*.txt'
subfolder = "fromc"
EOF
wpack build "$(win "$P/kestrel.toml")" -o "$(win "$T/setup-Ω.exe")" --stub "$(win "$STUB")" \
  --threads 1
check "build with non-ASCII names on Windows" test $? -eq 0
check "non-ASCII output file exists" test -s "$T/setup-Ω.exe"
check "no warning about the main program" test ! -s "$OUT.err"
wpack list "$(win "$T/setup-Ω.exe")"
check "list shows Ωmega.txt" grep -Eq '  \\Ωmega\.txt$' "$OUT.out"
check "list shows the non-ASCII folder" grep -Eq '  \\Ünïcode dir\\κ\.txt$' "$OUT.out"
check "list shows the C: file" grep -Eq '  \\fromc\\c-drive\.txt$' "$OUT.out"
check "list shows the licence named by a drive path" grep -qx 'Licence:        159 bytes' "$OUT.out"
wpack verify "$(win "$T/setup-Ω.exe")"
check "verify non-ASCII package" grep -qx '4 files verified' "$OUT.out"
wpack extract "$(win "$T/setup-Ω.exe")" "$(win "$T/out-Ω")"
check "extract non-ASCII package" test $? -eq 0
check "Ωmega.txt round trip" cmp -s "$P/files/Ωmega.txt" "$T/out-Ω/Ωmega.txt"
check "κ.txt round trip" cmp -s "$P/files/Ünïcode dir/κ.txt" "$T/out-Ω/Ünïcode dir/κ.txt"
check "C: file round trip" cmp -s "$WINEPREFIX/drive_c/wpack-Ж/c-drive.txt" \
  "$T/out-Ω/fromc/c-drive.txt"
"$HOSTPACK" extract "$T/setup-Ω.exe" "$T/out-Ω-linux" >/dev/null 2>&1
check "Linux extracts the same tree" diff -r "$T/out-Ω" "$T/out-Ω-linux"
rm -rf "$WINEPREFIX/drive_c/wpack-Ж"

# "C:name" would depend on the drive's current folder: refused
printf 'displayname = "X"\nexename = "x"\n[[files]]\nsource = "C:wpack"\n' >"$T/driverel.toml"
wpack build "$(win "$T/driverel.toml")" -o "$(win "$T/driverel.exe")" --stub "$(win "$STUB")"
check "drive-relative source refused (rc)" test $? -eq 1
check "drive-relative source refused (text)" grep -q 'names no folder on drive C:' "$OUT.err"

# --- the default stub: setup.exe beside the tool, found through the module's own path
mkdir -p "$T/tool-Ω"
cp "$PACK_EXE" "$STUB" "$T/tool-Ω/"
timeout -k 5 120 $W "$T/tool-Ω/kestrel-pack.exe" build "$(win "$SAMPLE/kestrel.toml")" \
  -o "$(win "$T/default-stub.exe")" >"$OUT.out" 2>"$OUT.err"
check "build finds setup.exe beside the tool" test $? -eq 0
check "default stub is that setup.exe" cmp -s -n "$(stat -c %s "$STUB")" "$STUB" \
  "$T/default-stub.exe"

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
