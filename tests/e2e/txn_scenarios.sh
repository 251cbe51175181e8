# Upgrades and failures leave a working product: v1 -> v2 in v1's folder (dropped files gone, the
# user's file kept), v1 over v2 refused with 1638 and nothing changed, setup killed half-way and
# run again (the interrupted run rolled back first), then its uninstaller; a 20 MB drive where a
# first install and an upgrade do not fit (refused before any change).
# Sourced by run.sh (its prefix, server, helpers and counters); stands alone with
# KESTREL_E2E_ONLY=txn.

X_T0=$(date +%s)
X_PACK=${PACKER:-${KESTREL_PACK:-}}
for c in "$ROOT/build/host/pack/kestrel-pack" "$ROOT/build/host-san/pack/kestrel-pack"; do
  if [ -z "$X_PACK" ] && [ -x "$c" ]; then X_PACK=$c; fi
done
X_WPROBE=$BIN/tests/e2e/kestrel_winprobe.exe
X_PRODUCT=$BIN/tests/e2e/kestrel_product.exe
if [ -z "$X_PACK" ] || [ ! -x "$X_WPROBE" ]; then
  echo "skipped: transaction scenarios need kestrel-pack and kestrel_winprobe.exe"
  return 0
fi
X_DRIVE_C=$WINEPREFIX/drive_c
XSRC=$WORK/txn-src
rm -rf "$XSRC"
mkdir -p "$XSRC"
X_KEY="$UNKEYS\\com.kestrel.txn"

# x_run NAME CMDLINE: runs it under the window probe; "exit=N" in $WORK/NAME.log
x_run() {
  timeout -k 5 300 $W "$X_WPROBE" run "$2" >"$WORK/$1.log" 2>&1
  if [ $? -eq 0 ]; then ok; else bad "$1: probe failed ($(tail -n 1 "$WORK/$1.log"))"; fi
}
x_value() {  # x_value KEY NAME: the value's data as reg prints it
  $W reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2  *REG_[A-Z_]*  *//p"
}
x_eq() { if [ "$2" = "$3" ]; then ok; else bad "$1: '$2', want '$3'"; fi; }
x_has() { if grep -Fq -- "$2" "$1"; then ok; else bad "$(basename "$1"): no line with '$2'"; fi; }
x_there() { if [ -e "$1" ]; then ok; else bad "$2: $1 is missing"; fi; }
x_gone() { if [ -e "$1" ]; then bad "$2: $1 is left"; else ok; fi; }
# x_state DIR: every file below it with its checksum, and the product's entry
x_state() {
  (cd "$1" 2>/dev/null && find . -type f -print0 | sort -z | xargs -0 -r md5sum)
  $W reg query "$X_KEY" 2>/dev/null | tr -d '\r' | sort
}
# no file of a transaction stays: no journal, nothing moved aside
x_clean() {
  local left
  left=$(find "$2" \( -name '*.~ks*' -o -name '*.journal' \) 2>/dev/null | head -n 3)
  if [ -z "$left" ]; then ok; else bad "$1: left behind: $left"; fi
}

# x_pack NAME VERSION FILES...: the test program as txn.exe and FILES (as "path:size[:seed]",
# random bytes), packed as $PKG/NAME-setup.exe with the identity com.kestrel.txn
x_pack() {
  local name=$1 version=$2 entry path size seed
  shift 2
  rm -rf "${XSRC:?}/$name" && mkdir -p "$XSRC/$name/tree"
  cp "$X_PRODUCT" "$XSRC/$name/tree/txn.exe"
  for entry in "$@"; do
    IFS=: read -r path size seed <<<"$entry"
    mkdir -p "$(dirname "$XSRC/$name/tree/$path")"
    $PY -c 'import random,sys; r=random.Random(sys.argv[2]); sys.stdout.buffer.write(r.randbytes(int(sys.argv[1])))' \
      "$size" "${seed:-$name$path}" >"$XSRC/$name/tree/$path"
  done
  printf 'displayname = "E2E Txn"\nexename = "txn.exe"\nversion = "%s"\nid = "com.kestrel.txn"\n' \
    "$version" >"$XSRC/$name/$name.toml"
  if [ -n "${X_LANGS:-}" ]; then printf 'languages = [%s]\n' "$X_LANGS" >>"$XSRC/$name/$name.toml"; fi
  printf 'installfolder = "\\\\Txn Default"\n[[files]]\nsource = "tree"\n' >>"$XSRC/$name/$name.toml"
  if ASAN_OPTIONS=detect_leaks=0 "$X_PACK" build "$XSRC/$name/$name.toml" -o "$PKG/$name-setup.exe" \
    --stub "$SETUP" --level fast >"$WORK/txn-pack-$name.log" 2>&1; then
    ok
  else
    bad "txn: packing $name: $(tail -n 1 "$WORK/txn-pack-$name.log")"
  fi
}

x_pack txn1 1.9 data/keep.bin:20000:k1 data/old/dropped.bin:3000
x_pack txn2 1.10 data/keep.bin:20000:k2 data/new/added.bin:4000
# an upgrade that takes a while: 60 files of 1 MiB
BIGFILES=()
for i in $(seq -w 1 60); do BIGFILES+=("big/part$i.bin:1048576"); done
x_pack txn3 2.0 data/keep.bin:20000:k3 "${BIGFILES[@]}"
X_LANGS='"he", "ja"' x_pack txn4 1.11 data/keep.bin:20000:k4 data/new/added.bin:4000

TX='C:\Txn App'
TXU=$X_DRIVE_C/Txn\ App
rm -rf "$TXU" "$X_DRIVE_C/Txn Default"

# ---- 1. v1, then v2 without /D=: into v1's folder, dropped files gone, the user's file kept ------
x_run txn-v1 "$(win "$PKG/txn1-setup.exe") /S /D=$TX"
x_has "$WORK/txn-v1.log" "exit=0"
echo "mine" >"$TXU/data/user.txt"
x_run txn-v2 "$(win "$PKG/txn2-setup.exe") /S /LOG=C:\\txn-v2.log"
x_has "$WORK/txn-v2.log" "exit=0"
x_gone "$X_DRIVE_C/Txn Default" txn-v2
x_gone "$TXU/data/old/dropped.bin" txn-v2
x_gone "$TXU/data/old" txn-v2
x_there "$TXU/data/new/added.bin" txn-v2
x_there "$TXU/data/user.txt" txn-v2
if cmp -s "$XSRC/txn2/tree/data/keep.bin" "$TXU/data/keep.bin"; then ok; else bad "txn-v2: keep.bin is not v2's"; fi
x_eq txn-v2 "$(x_value "$X_KEY" DisplayVersion)" "1.10"
x_eq txn-v2 "$(x_value "$X_KEY" InstallLocation)" "$TX"
x_has "$X_DRIVE_C/txn-v2.log" "installed version 1.9, this package 1.10: an upgrade"
x_has "$X_DRIVE_C/txn-v2.log" "file the new version does not ship removed: $TX\\data\\old\\dropped.bin"
x_clean txn-v2 "$TXU"
$W reg query 'HKLM\Software\Kestrel' >/dev/null 2>&1 && bad "txn-v2: the journal's key is left" || ok

# ---- 2. v1 over v2: refused with 1638, nothing changed ------------------------------------------
before=$(x_state "$TXU")
x_run txn-down "$(win "$PKG/txn1-setup.exe") /S /LOG=C:\\txn-down.log"
x_has "$WORK/txn-down.log" "exit=1638"
x_has "$X_DRIVE_C/txn-down.log" "E2E Txn 1.10 is installed, which is newer than this setup's version 1.9"
x_has "$X_DRIVE_C/txn-down.log" "outcome: a newer version is installed, exit code 1638"
x_eq txn-down "$(x_state "$TXU")" "$before"

# ---- 2b. the wizard over the installed copy: the destination page names its folder, and says
# it will be upgraded (96 and 144 DPI); Next repairs it in place
X_DRIVER=$BIN/tests/e2e/kestrel_guidriver.exe
for dpi in 96 144; do
  $W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null 2>&1
  timeout -k 5 120 $W "$X_DRIVER" show "$ART/txn-wizard$dpi.png" "$(win "$PKG/txn2-setup.exe")" \
    >"$WORK/txn-wizard$dpi.log" 2>&1 && ok || bad "txn-wizard$dpi: driver failed"
  x_has "$WORK/txn-wizard$dpi.log" "text installpath=$TX"
  x_has "$WORK/txn-wizard$dpi.log" "text installpathlabel=An earlier version of E2E Txn is installed in this folder and will be upgraded. Install E2E Txn to:"
  timeout -k 5 150 $W "$X_DRIVER" install "$ART/txn-repair$dpi" "$(win "$PKG/txn2-setup.exe")" \
    >"$WORK/txn-repair$dpi.log" 2>&1 && ok || bad "txn-repair$dpi: driver failed"
  x_has "$WORK/txn-repair$dpi.log" "exit=0"
done
$W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
x_gone "$X_DRIVE_C/Txn Default" txn-repair
x_eq txn-repair "$(x_state "$TXU")" "$before"

# ---- 2c. a file held open by another program: written beside it, 3010, replaced at the restart.
# A stand-in Restart Manager (Wine's names no holder) is loaded from the system folder in its
# place for these runs: it names the holder program and can end and start it again.
# run from this run's own folder: both x86_64 halves of the suite run the same build at once, and
# each counts and ends only its own holder, found by that path
X_HOLD=$WORK/kestrel_holdfile.exe
cp "$BIN/tests/e2e/kestrel_holdfile.exe" "$X_HOLD"
X_SYSDIR=$X_DRIVE_C/windows/$([ "$ARCH" = i686 ] && echo syswow64 || echo system32)
# The prefix's system DLLs are hard links shared with the template and every other run's prefix:
# moved aside and back (never written through), so no other prefix sees the stand-in
mv "$X_SYSDIR/rstrtmgr.dll" "$WORK/rstrtmgr.dll.saved"
cp "$BIN/tests/e2e/kestrel_fakerm.dll" "$X_SYSDIR/rstrtmgr.dll"
X_FAKERM="$WINEDLLOVERRIDES;rstrtmgr=n"
rm -f "$X_DRIVE_C/fakerm.log"
$W "$X_HOLD" 'C:\Txn App\data\keep.bin' >/dev/null 2>&1 &
HPID=$!
sleep 2
WINEDLLOVERRIDES=$X_FAKERM x_run txn-held "$(win "$PKG/txn4-setup.exe") /S /LOG=C:\\txn-held.log"
x_has "$WORK/txn-held.log" "exit=3010"
x_has "$X_DRIVE_C/txn-held.log" "files in use by: Kestrel Hold Test"
x_has "$X_DRIVE_C/txn-held.log" "the applications are left running: the files they use are replaced at restart"
x_has "$X_DRIVE_C/fakerm.log" "list 1"
if grep -q shutdown "$X_DRIVE_C/fakerm.log"; then bad "txn-held: applications closed without /CLOSEAPPLICATIONS"; else ok; fi
x_has "$X_DRIVE_C/txn-held.log" "outcome: success, a restart completes it, exit code 3010"
x_has "$X_DRIVE_C/txn-held.log" "in use, written beside it: $TX\\data\\keep.bin"
if cmp -s "$XSRC/txn2/tree/data/keep.bin" "$TXU/data/keep.bin"; then ok; else bad "txn-held: keep.bin changed while held"; fi
x_eq txn-held "$(x_value "$X_KEY" DisplayVersion)" "1.11"
pending=$($W reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' /v PendingFileRenameOperations 2>/dev/null | tr -d '\r')
case "$pending" in *keep.bin*) ok ;; *) bad "txn-held: no PendingFileRenameOperations for keep.bin: $pending" ;; esac
kill -9 "$HPID" 2>/dev/null
wait "$HPID" 2>/dev/null
timeout -k 5 120 $W wineboot -r >/dev/null 2>&1
if cmp -s "$XSRC/txn4/tree/data/keep.bin" "$TXU/data/keep.bin"; then ok; else bad "txn-held: keep.bin is not 1.11's after the restart"; fi
x_clean txn-held "$TXU"

# ---- 2d. the same held file with /CLOSEAPPLICATIONS: the holder is asked to close (never forced),
# the file replaced in place (exit 0) and the holder started again; then the wizard's page names it
# (96 and 144 DPI) and its default choice does the same
# this run's holder programs only (another run's may go on beside it): by its path in either form
X_HOLDRE="$(echo "${WORK#/}" | sed 's|[^A-Za-z0-9_-]|.|g').kestrel_holdfile"
x_holders() { pgrep -fc "$X_HOLDRE" || true; }
printf 'data' >"$TXU/data/keep.bin"
$W "$X_HOLD" 'C:\Txn App\data\keep.bin' >/dev/null 2>&1 &
sleep 2
rm -f "$X_DRIVE_C/fakerm.log"
WINEDLLOVERRIDES=$X_FAKERM x_run txn-close "$(win "$PKG/txn4-setup.exe") /S /CLOSEAPPLICATIONS /LOG=C:\\txn-close.log"
x_has "$WORK/txn-close.log" "exit=0"
x_has "$X_DRIVE_C/txn-close.log" "files in use by: Kestrel Hold Test"
x_has "$X_DRIVE_C/txn-close.log" "applications closed"
x_has "$X_DRIVE_C/txn-close.log" "applications started again"
x_has "$X_DRIVE_C/fakerm.log" "shutdown flags=0"
x_has "$X_DRIVE_C/fakerm.log" "restart"
if cmp -s "$XSRC/txn4/tree/data/keep.bin" "$TXU/data/keep.bin"; then ok; else bad "txn-close: keep.bin was not replaced in place"; fi
x_eq txn-close-restarted "$(x_holders)" 1
for dpi in 96 144; do
  $W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null 2>&1
  WINEDLLOVERRIDES=$X_FAKERM timeout -k 5 150 $W "$X_DRIVER" install "$ART/txn-apps$dpi" \
    "$(win "$PKG/txn4-setup.exe")" >"$WORK/txn-apps$dpi.log" 2>&1 && ok || bad "txn-apps$dpi: driver failed"
  x_has "$WORK/txn-apps$dpi.log" "text inuselist=Kestrel Hold Test"
  x_has "$WORK/txn-apps$dpi.log" "text closeapps=Close the applications automatically"
  x_has "$WORK/txn-apps$dpi.log" "text keepapps=Do not close"
  x_has "$WORK/txn-apps$dpi.log" "checked closeapps=1"
  x_has "$WORK/txn-apps$dpi.log" "after inuse=installingpage"
  x_has "$WORK/txn-apps$dpi.log" "exit=0"
  x_eq "txn-apps$dpi-restarted" "$(x_holders)" 1
done
# the page in a right-to-left and an East Asian language
script_fonts
for run in he:96 ja:144; do
  lang=${run%:*} dpi=${run#*:}
  dialog_font "$([ "$lang" = he ] && echo 'DejaVu Sans' || echo Tahoma)"
  $W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null 2>&1
  WINEDLLOVERRIDES=$X_FAKERM timeout -k 5 150 $W "$X_DRIVER" install "$ART/txn-apps-$lang$dpi" \
    "$(win "$PKG/txn4-setup.exe")" "/LANG=$lang" >"$WORK/txn-apps-$lang.log" 2>&1 &&
    ok || bad "txn-apps-$lang: driver failed"
  x_has "$WORK/txn-apps-$lang.log" "text inuselist=Kestrel Hold Test"
  x_has "$WORK/txn-apps-$lang.log" "after inuse=installingpage"
  x_has "$WORK/txn-apps-$lang.log" "exit=0"
done
dialog_font Tahoma
$W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
pkill -9 -f "$X_HOLDRE" 2>/dev/null
mv -f "$WORK/rstrtmgr.dll.saved" "$X_SYSDIR/rstrtmgr.dll"
x_clean txn-close "$TXU"

# ---- 3. killed half-way through an upgrade; the same setup again; then the uninstaller ----------
rm -f "$X_DRIVE_C/txn-kill.log"
$W "$PKG/txn3-setup.exe" /S '/LOG=C:\txn-kill.log' >/dev/null 2>&1 &
KPID=$!
killed=0
for _ in $(seq 1 600); do
  written=$(grep -c 'file written: .*part' "$X_DRIVE_C/txn-kill.log" 2>/dev/null)
  if [ "${written:-0}" -ge 10 ]; then
    kill -9 "$KPID" 2>/dev/null && killed=1
    break
  fi
  sleep 0.05
done
wait "$KPID" 2>/dev/null
if [ "$killed" = 1 ]; then ok; else bad "txn-kill: setup was not killed half-way"; fi
parts=$(find "$TXU/big" -name 'part*.bin' 2>/dev/null | wc -l)
echo "txn-kill: killed with $parts of 60 large files written" >>"$WORK/txn-summary.log"
if [ "$parts" -lt 60 ]; then ok; else bad "txn-kill: the kill came too late ($parts files)"; fi
x_eq txn-kill "$(x_value "$X_KEY" DisplayVersion)" "1.11"  # not registered before it completes
x_run txn-again "$(win "$PKG/txn3-setup.exe") /S /LOG=C:\\txn-again.log"
x_has "$WORK/txn-again.log" "exit=0"
x_has "$X_DRIVE_C/txn-again.log" "an interrupted installation is rolled back"
x_eq txn-again "$(x_value "$X_KEY" DisplayVersion)" "2.0"
n=0
for f in "$XSRC"/txn3/tree/big/*.bin; do cmp -s "$f" "$TXU/big/$(basename "$f")" && n=$((n + 1)); done
x_eq txn-again "$n" 60
x_gone "$TXU/data/new/added.bin" txn-again
x_there "$TXU/data/user.txt" txn-again
x_clean txn-again "$TXU"
cmd=$(x_value "$X_KEY" QuietUninstallString)
x_run txn-uninstall "$cmd"
x_has "$WORK/txn-uninstall.log" "exit=0"
sleep 2
left=$(cd "$TXU" 2>/dev/null && find . -type f | sort | tr '\n' ' ')
x_eq txn-uninstall "$left" "./data/user.txt "
if $W reg query "$X_KEY" >/dev/null 2>&1; then bad "txn-uninstall: $X_KEY is left"; else ok; fi
rm -rf "$TXU"

# ---- 4. a 20 MB drive: a first install and an upgrade that do not fit change nothing ------------
SMALL=$WORK/txn-small
mkdir -p "$SMALL"
if mount -t tmpfs -o size=20m tmpfs "$SMALL" 2>/dev/null; then
  ln -sfn "$SMALL" "$WINEPREFIX/dosdevices/t:"
  x_run txn-full "$(win "$PKG/txn3-setup.exe") /S /LOG=C:\\txn-full.log /D=T:\\App"
  x_has "$WORK/txn-full.log" "exit=1603"
  x_has "$X_DRIVE_C/txn-full.log" "There is not enough space on T:\\ for the installation"
  x_eq txn-full "$(find "$SMALL" -mindepth 1 | wc -l)" 0
  x_run txn-fit "$(win "$PKG/txn1-setup.exe") /S /D=T:\\App"
  x_has "$WORK/txn-fit.log" "exit=0"
  before=$(x_state "$SMALL/App")
  x_run txn-nofit "$(win "$PKG/txn3-setup.exe") /S /LOG=C:\\txn-nofit.log"
  x_has "$WORK/txn-nofit.log" "exit=1603"
  x_has "$X_DRIVE_C/txn-nofit.log" "There is not enough space on T:\\"
  x_eq txn-nofit "$(x_state "$SMALL/App")" "$before"
  cmd=$(x_value "$X_KEY" QuietUninstallString)
  x_run txn-small-uninstall "$cmd"
  sleep 1
  rm -f "$WINEPREFIX/dosdevices/t:"
  umount "$SMALL" || umount -l "$SMALL"
else
  echo "txn: no tmpfs could be mounted here: the 20 MB drive was not tried" | tee -a "$WORK/txn-summary.log"
fi

echo "txn scenarios: $(($(date +%s) - X_T0)) s"
