# Many products on one machine: each its own identity, and an uninstall that removes what its
# installation made and nothing else. Two products in one folder that already held a document,
# a second product claiming another's main program, associations of their own, a path longer
# than 300 characters removed with canary files in the current folder, an App Paths key deleted
# by hand, and a destination in Cyrillic, CJK and an emoji read back exactly.
# Sourced by run.sh after the deployment scenarios, whose prefix, helpers, counters and packer it
# uses; KESTREL_E2E_ONLY=identity runs it alone with the few helpers below.

I_T0=$(date +%s)
PACK=${PACK:-${KESTREL_PACK:-${PACKER:-}}}
PRODUCT=${PRODUCT:-$BIN/tests/e2e/kestrel_product.exe} DRIVE_C=${DRIVE_C:-$WINEPREFIX/drive_c}
declare -F check_eq >/dev/null || check_eq() { if [ "$2" = "$3" ]; then ok; else bad "$1: '$2' != '$3'"; fi; }
declare -F probe >/dev/null || probe() {
  timeout -k 5 150 $W "$BIN/tests/e2e/kestrel_winprobe.exe" run "$2" >"$WORK/$1.log" 2>&1
  if [ $? -eq 0 ]; then ok; else bad "$1: probe failed ($(tail -n 1 "$WORK/$1.log"))"; fi
}
declare -F reg_value >/dev/null || reg_value() {
  $W reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2  *REG_[A-Z_]*  *//p"
}
declare -F expect_value >/dev/null || expect_value() {
  if [ "$(reg_value "$1" "$2")" = "$3" ]; then ok; else bad "$4: $2 is '$(reg_value "$1" "$2")', want '$3'"; fi
}
declare -F log_has >/dev/null || log_has() {
  if grep -Fq -- "$2" "$1"; then ok; else bad "$(basename "$1"): no line with '$2'"; fi
}
declare -F u_present >/dev/null || u_present() { if [ -e "$1" ]; then ok; else bad "$2: $1 is missing"; fi; }
declare -F u_absent >/dev/null || u_absent() { if [ -e "$1" ]; then bad "$2: $1 is left"; else ok; fi; }
declare -F u_gone >/dev/null || u_gone() {
  local i
  for i in $(seq 1 25); do [ -e "$1" ] || { ok; return; }; sleep 0.2; done
  bad "$2: $1 is left"
}
declare -F u_key >/dev/null || u_key() {
  if $W reg query "$2" >/dev/null 2>&1; then
    if [ "$1" = present ]; then ok; else bad "$3: key $2 is left"; fi
  elif [ "$1" = absent ]; then ok; else bad "$3: key $2 is missing"; fi
}
if [ -z "$PACK" ] || [ ! -x "$BIN/tests/e2e/kestrel_winprobe.exe" ]; then
  echo "skipped: identity scenarios need kestrel-pack and kestrel_winprobe.exe"
  return 0
fi
ISRC=$WORK/identity-src
rm -rf "$ISRC"
mkdir -p "$ISRC"

# i_pack NAME DISPLAYNAME EXE ID [TOML...]: a product of the test program, a readme and a data
# file, packed as $PKG/NAME-setup.exe
i_pack() {
  local name=$1 display=$2 exe=$3 id=$4
  shift 4
  mkdir -p "$ISRC/$name/data"
  cp "$PRODUCT" "$ISRC/$name/$exe"
  printf '%s\r\n' "$display" >"$ISRC/$name/readme-$name.txt"
  head -c 5000 /dev/urandom >"$ISRC/$name/data/$name.bin"
  {
    printf 'displayname = "%s"\nexename = "%s"\nversion = "1.0"\n' "$display" "$exe"
    [ -n "$id" ] && printf 'id = "%s"\n' "$id"
    printf '%s\n' "$@"
    printf '[[files]]\nsource = "%s"\n[[files]]\nsource = "readme-%s.txt"\n' "$exe" "$name"
    printf '[[files]]\nsource = "data"\nsubfolder = "data"\n'
  } >"$ISRC/$name/$name.toml"
  if ASAN_OPTIONS=detect_leaks=0 "$PACK" build "$ISRC/$name/$name.toml" -o "$PKG/$name-setup.exe" \
    --stub "$SETUP" --level fast ${PACK_SIGN[@]+"${PACK_SIGN[@]}"} >"$WORK/ident-pack-$name.log" 2>&1; then
    ok
  else
    bad "identity: packing $name: $(tail -n 1 "$WORK/ident-pack-$name.log")"
  fi
}
# i_uninstall NAME KEY [EXTRA]: the entry's silent uninstall command, exit 0 expected
i_uninstall() {
  local cmd
  cmd=$(reg_value "$2" QuietUninstallString)
  if [ -n "$cmd" ]; then ok; else bad "$1: no QuietUninstallString in $2"; fi
  probe "$1" "$cmd${3:+ $3}"
  expect "$WORK/$1.log" "exit=0"
}
# i_regdefault KEY: the key's default value; asked up to three times, as Wine's reg sometimes
# fails to start at all under load, which must not read as a missing value
i_regdefault() {
  local v i
  for i in 1 2 3; do
    v=$($W reg query "$1" /ve 2>/dev/null | tr -d '\r' | sed -n 's/^ *([^)]*)  *REG_SZ  *//p')
    [ -n "$v" ] && break
    sleep 1
  done
  printf '%s\n' "$v"
}
i_default() {  # i_default KEY WANT WHAT: the key's default value
  local got
  got=$(i_regdefault "$1")
  if [ "$got" = "$2" ]; then ok; else bad "$3: $1 names '$got', want '$2'"; fi
}

i_pack ida "E2E Ident A" ida.exe com.kestrel.ident-a '[association]' 'extension = ".ida"' \
  'description = "A document"'
i_pack idb "E2E Ident B" idb.exe com.kestrel.ident-b '[association]' 'extension = ".idb"' \
  'description = "B document"'
i_pack idc "E2E Ident C" ida.exe com.kestrel.ident-c
# a package without id: its identity is its display name
i_pack idl "E2E Ident Long" idl.exe ""
i_pack idu "E2E Ident U" idu.exe com.kestrel.ident-u
KEY_A="$UNKEYS\\com.kestrel.ident-a" KEY_B="$UNKEYS\\com.kestrel.ident-b"
KEY_L="$UNKEYS\\E2E Ident Long" KEY_U="$UNKEYS\\com.kestrel.ident-u"
APPS='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths'

# ---- 1. two products into one folder that holds a user's document ------------------------------
SHARED='C:\Shared Ident'
SHARED_U=$DRIVE_C/Shared\ Ident
rm -rf "$SHARED_U" && mkdir -p "$SHARED_U"
echo "my thesis" >"$SHARED_U/thesis.docx"
probe ident-a "$(win "$PKG/ida-setup.exe") /S /D=$SHARED"
expect "$WORK/ident-a.log" "exit=0"
probe ident-b "$(win "$PKG/idb-setup.exe") /S /D=$SHARED"
expect "$WORK/ident-b.log" "exit=0"
for f in ida.exe idb.exe readme-ida.txt readme-idb.txt data/ida.bin data/idb.bin thesis.docx \
  "Uninstall com.kestrel.ident-a.exe" "Uninstall com.kestrel.ident-b.dat"; do
  u_present "$SHARED_U/$f" ident-ab
done
expect_value "$KEY_A" InstallLocation "$SHARED" ident-a
# in a signed run: A's own uninstaller, which no other product writes, verifies after B's install
if declare -F signed_check >/dev/null; then
  signed_check "ident: A's uninstaller after B" "$SHARED_U/Uninstall com.kestrel.ident-a.exe"
fi
expect_value "$KEY_B" InstallRecord "$SHARED\\Uninstall com.kestrel.ident-b.dat" ident-b
expect_value "$APPS\\ida.exe" Product com.kestrel.ident-a ident-a
# each association under a class of its own, derived from the product
CLASS_A=$(i_regdefault 'HKCR\.ida')
CLASS_B=$(i_regdefault 'HKCR\.idb')
case "$CLASS_A" in Kestrel.comkestrelidenta.*) ok ;; *) bad "ident: .ida names '$CLASS_A'" ;; esac
if [ -n "$CLASS_B" ] && [ "$CLASS_A" != "$CLASS_B" ]; then ok; else bad "ident: classes '$CLASS_A' '$CLASS_B'"; fi
i_default "HKCR\\$CLASS_A\\shell\\open\\command" "\"$SHARED\\ida.exe\" \"%1\"" ident-a
i_default "HKCR\\$CLASS_B\\shell\\open\\command" "\"$SHARED\\idb.exe\" \"%1\"" ident-b

# ---- 2. a third product whose main program is A's: refused before anything changes -------------
probe ident-c "$(win "$PKG/idc-setup.exe") /S /LOG=C:\\ident-c.log /D=C:\\Ident C"
expect "$WORK/ident-c.log" "exit=1603"
log_has "$DRIVE_C/ident-c.log" 'The program name "ida.exe" is already registered by another product, "E2E Ident A". Setup changed nothing.'
u_absent "$DRIVE_C/Ident C" ident-c
u_key absent "$UNKEYS\\com.kestrel.ident-c" ident-c
expect_value "$APPS\\ida.exe" Product com.kestrel.ident-a ident-c
i_default "$APPS\\ida.exe" "$SHARED\\ida.exe" ident-c

# ---- 3. A's uninstall removes A's files and registration, nothing of B's nor the document ------
i_uninstall ident-una "$KEY_A" '/LOG=C:\ident-una.log'
for f in ida.exe readme-ida.txt data/ida.bin "Uninstall com.kestrel.ident-a.dat"; do
  u_absent "$SHARED_U/$f" ident-una
done
u_gone "$SHARED_U/Uninstall com.kestrel.ident-a.exe" ident-una
for f in idb.exe readme-idb.txt data/idb.bin thesis.docx "Uninstall com.kestrel.ident-b.exe"; do
  u_present "$SHARED_U/$f" ident-una
done
u_key absent "$KEY_A" ident-una
u_key absent "$APPS\\ida.exe" ident-una
u_key absent 'HKCR\.ida' ident-una
u_key absent "HKCR\\$CLASS_A" ident-una
u_key present "$KEY_B" ident-una
u_key present 'HKCR\.idb' ident-una
i_default "HKCR\\$CLASS_B\\shell\\open\\command" "\"$SHARED\\idb.exe\" \"%1\"" ident-una
log_has "$DRIVE_C/ident-una.log" "files that Setup did not install were kept in $SHARED."
log_has "$DRIVE_C/ident-una.log" "file kept (not installed by Setup): $SHARED\\thesis.docx"
# ---- then B's: the document and the folder it stood in stay ------------------------------------
i_uninstall ident-unb "$KEY_B"
for f in idb.exe readme-idb.txt data "Uninstall com.kestrel.ident-b.dat"; do
  u_absent "$SHARED_U/$f" ident-unb
done
u_gone "$SHARED_U/Uninstall com.kestrel.ident-b.exe" ident-unb
u_present "$SHARED_U/thesis.docx" ident-unb
u_key absent "$KEY_B" ident-unb
u_key absent 'HKCR\.idb' ident-unb
rm -rf "$SHARED_U"

# ---- 4. a path of more than 300 characters; App Paths deleted by hand; canaries in the ---------
# current folder of the uninstaller
LONGSUB=$(printf 'segment-%02d-abcdefghijklmnopqrstuvwxyz/' $(seq 1 9))
mkdir -p "$ISRC/idl/data/$LONGSUB"
echo deep >"$ISRC/idl/data/${LONGSUB}deep-file-at-the-end-of-a-long-path.txt"
if ASAN_OPTIONS=detect_leaks=0 "$PACK" build "$ISRC/idl/idl.toml" -o "$PKG/idl-setup.exe" \
  --stub "$SETUP" --level fast ${PACK_SIGN[@]+"${PACK_SIGN[@]}"} >"$WORK/ident-pack-idl.log" 2>&1; then ok; else
  bad "identity: packing the long path: $(tail -n 1 "$WORK/ident-pack-idl.log")"
fi
LONGDEST='C:\Ident Long Path Product'
LONGDEST_U=$DRIVE_C/Ident\ Long\ Path\ Product
probe ident-long "$(win "$PKG/idl-setup.exe") /S /D=$LONGDEST"
expect "$WORK/ident-long.log" "exit=0"
DEEP="$LONGDEST_U/data/${LONGSUB}deep-file-at-the-end-of-a-long-path.txt"
u_present "$DEEP" ident-long
LEN=$(printf '%s' "$LONGDEST\\data\\${LONGSUB}deep-file-at-the-end-of-a-long-path.txt" | wc -c)
if [ "$LEN" -gt 300 ]; then ok; else bad "ident-long: the path is only $LEN characters"; fi
$W reg delete "$APPS\\idl.exe" /f >/dev/null 2>&1
u_key absent "$APPS\\idl.exe" ident-long
CANARY=$DRIVE_C/ident-canary
rm -rf "$CANARY" && mkdir -p "$CANARY/data/sub"
echo canary >"$CANARY/canary.txt"
echo canary >"$CANARY/data/sub/canary.txt"
CMD=$(reg_value "$KEY_L" QuietUninstallString)
(cd "$CANARY" && probe ident-unlong "$CMD /LOG=C:\\ident-unlong.log")
expect "$WORK/ident-unlong.log" "exit=0"
u_gone "$LONGDEST_U" ident-unlong
u_present "$CANARY/canary.txt" ident-unlong
u_present "$CANARY/data/sub/canary.txt" ident-unlong
u_key absent "$KEY_L" ident-unlong
rm -rf "$CANARY"

# ---- 5. a destination in Cyrillic, CJK and an emoji; a user's file in it survives --------------
UNIDEST='C:\Программы\Ünïcødé 测试 🦊'
UNIDEST_U="$DRIVE_C/Программы/Ünïcødé 测试 🦊"
probe ident-uni "$(win "$PKG/idu-setup.exe") /S /D=$UNIDEST"
expect "$WORK/ident-uni.log" "exit=0"
u_present "$UNIDEST_U/idu.exe" ident-uni
# the values as the registry holds them (an export is UTF-16), not as a console shows them
rm -f "$DRIVE_C/ident-uni.reg"
$W regedit /E 'C:\ident-uni.reg' "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\com.kestrel.ident-u" >/dev/null 2>&1
$W regedit /E 'C:\ident-uni-app.reg' "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\idu.exe" >/dev/null 2>&1
for pair in "ident-uni.reg|InstallLocation|$UNIDEST" "ident-uni.reg|DisplayIcon|$UNIDEST\\idu.exe" \
  "ident-uni-app.reg|@|$UNIDEST\\idu.exe"; do
  IFS='|' read -r file name want <<<"$pair"
  got=$($PY - "$DRIVE_C/$file" "$name" <<'PY'
import re, sys
text = open(sys.argv[1], "rb").read().decode("utf-16")
name = sys.argv[2]
key = "@" if name == "@" else '"%s"' % name
for line in text.splitlines():
    if line.startswith(key + "="):
        v = line[len(key) + 1:]
        print(v[1:-1].replace("\\\\", "\\") if v.startswith('"') else v)
PY
)
  if [ "$got" = "$want" ]; then ok; else bad "ident-uni: $name reads back '$got', want '$want'"; fi
done
echo "my notes" >"$UNIDEST_U/notes.txt"
# the command as the entry holds it (reg.exe would show it through the console's code page)
check_eq "ident-uni: QuietUninstallString" "$($PY - "$DRIVE_C/ident-uni.reg" <<'PY'
import sys
for line in open(sys.argv[1], "rb").read().decode("utf-16").splitlines():
    if line.startswith('"QuietUninstallString"="'):
        print(line[len('"QuietUninstallString"="'):-1].replace('\\\\', '\\').replace('\\"', '"'))
PY
)" "\"$UNIDEST\\Uninstall com.kestrel.ident-u.exe\" -ui idu.exe /PRODUCT=com.kestrel.ident-u /S"
probe ident-ununi "\"$UNIDEST\\Uninstall com.kestrel.ident-u.exe\" -ui idu.exe /PRODUCT=com.kestrel.ident-u /S"
expect "$WORK/ident-ununi.log" "exit=0"
u_absent "$UNIDEST_U/idu.exe" ident-ununi
u_present "$UNIDEST_U/notes.txt" ident-ununi
u_key absent "$KEY_U" ident-ununi
rm -rf "$DRIVE_C/Программы"

# ---- 6. an entry of an earlier version whose App Paths key is gone is removed all the same --------
STUCK="$UNKEYS\\E2E Stuck Legacy"
$W reg add "$STUCK" /v DisplayName /d "E2E Stuck Legacy" /f >/dev/null 2>&1
$W reg add "$STUCK" /v UninstallString /d 'C:\windows\kestrelui.exe -ui stuck.exe' /f >/dev/null 2>&1
cp "$SETUP" "$DRIVE_C/windows/kestrelui.exe"
probe ident-stuck 'C:\windows\kestrelui.exe -ui stuck.exe /S /LOG=C:\ident-stuck.log'
expect "$WORK/ident-stuck.log" "exit=0"
u_key absent "$STUCK" ident-stuck
log_has "$DRIVE_C/ident-stuck.log" "no installation record is named: no file is removed, only the product's registration"
rm -f "$DRIVE_C/windows/kestrelui.exe"

echo "identity scenarios: $(($(date +%s) - I_T0)) s"
