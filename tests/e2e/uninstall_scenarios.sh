#!/usr/bin/env bash
# Uninstalls end to end: a package with services, shortcuts, an association and a settings folder
# is installed by driving the wizard, then the uninstaller copy is run as the Uninstall key's
# "UninstallString" says and clicked through; what the install made must be gone afterwards.
# Sourced by run.sh (its prefix, server, counters and helpers), or run alone:
#   tests/e2e/uninstall_scenarios.sh [BUILD_DIR]   (default build/win64)
# Screenshots go to build/e2e-artifacts/uninst-*.png.

if [ -z "${WINEPREFIX:-}" ] || ! declare -F ok >/dev/null; then
  # ---- alone: a prefix of our own, copied from the tests' template --------------------------
  set -u
  ROOT=$(cd "$(dirname "$0")/../.." && pwd)
  BIN=$(cd "${1:-$ROOT/build/win64}" && pwd)
  if [ -z "${DISPLAY:-}" ]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$BIN"
  fi
  W=/usr/lib/wine/wine64 WS=/usr/lib/wine/wineserver PY=/usr/bin/python3
  SETUP=$BIN/setup/setup.exe DRIVER=$BIN/tests/e2e/kestrel_guidriver.exe
  WORK=$ROOT/build/e2e-work-uninst/$(basename "$BIN") ART=$ROOT/build/e2e-artifacts/$(basename "$BIN")
  export WINEDEBUG=${WINEDEBUG:--all,err+winediag} WINEDLLOVERRIDES="winemenubuilder.exe=d"
  export HOME=$WORK/home
  mkdir -p "$WORK" "$ART" "$HOME"
  rm -f "$ART"/uninst-*.png
  TPL=$ROOT/build/e2e-work/template
  . "$ROOT/tests/e2e/prefix.sh"
  e2e_arch "$SETUP"
  export WINEPREFIX=$WORK/prefix
  fresh_prefix "$TPL" "$WINEPREFIX" || exit 1
  $WS -p
  PKG=$WORK/pkg
  mkdir -p "$PKG"
  pass=0 fail=0
  ok() { pass=$((pass + 1)); }
  bad() { fail=$((fail + 1)); echo "FAIL: $*"; }
  expect() { if grep -Fxq -- "$2" "$1"; then ok; else bad "$(basename "$1"): expected '$2'"; fi; }
  expect_prefix() { if grep -Fq -- "$2" "$1"; then ok; else bad "$(basename "$1"): no '$2'"; fi; }
  PACKER=
  for c in "$ROOT/build/host/pack/kestrel-pack" "$ROOT/build/host-san/pack/kestrel-pack"; do
    if [ -z "$PACKER" ] && [ -x "$c" ]; then PACKER=$c; fi
  done
  U_ALONE=1
else
  U_ALONE=0
fi

UDRIVER=$BIN/tests/e2e/kestrel_uninstdriver.exe
U_PACK=${KESTREL_PACK:-${PACKER:-}}
U_T0=$(date +%s)
u_absent() { if [ -e "$1" ]; then bad "$2: $1 is left"; else ok; fi; }
# u_gone PATH WHAT: absent, given a few seconds (the uninstaller goes once its first process ended)
u_gone() {
  local i
  for i in $(seq 1 25); do [ -e "$1" ] || { ok; return; }; sleep 0.2; done
  bad "$2: $1 is left"
}
u_present() { if [ -e "$1" ]; then ok; else bad "$2: $1 is missing"; fi; }
u_key() {  # u_key present|absent KEY WHAT
  if $W reg query "$2" >/dev/null 2>&1; then
    [ "$1" = present ] && ok || bad "$3: key $2 is left"
  else
    [ "$1" = absent ] && ok || bad "$3: key $2 is missing"
  fi
}
u_svc() {  # u_svc present|absent NAME WHAT: a deleted service may take a moment to go
  local i
  for i in $(seq 1 30); do
    if $W sc query "$2" >/dev/null 2>&1; then
      [ "$1" = present ] && { ok; return; }
    else
      [ "$1" = absent ] && { ok; return; }
    fi
    sleep 0.2
  done
  bad "$3: service $2 should be $1"
}
u_drop_services() {  # u_drop_services NAME...: services a scenario leaves behind, stopped and gone
  local s
  for s in "$@"; do
    $W sc stop "$s" >/dev/null 2>&1
    $W sc delete "$s" >/dev/null 2>&1
    u_svc absent "$s" "cleanup"
  done
}
# (asked again when it answers nothing: a reg.exe started while the prefix is busy sometimes
# fails to start at all, which must not read as a missing value)
u_regval() {
  local v i
  for i in 1 2 3; do
    v=$($W reg query "$1" /v "$2" 2>/dev/null | sed -n 's/^ *[^ ].*  *REG_SZ  *//p' | tr -d '\r')
    [ -n "$v" ] && break
    sleep 1
  done
  printf '%s\n' "$v"
}

if [ -z "$U_PACK" ] || [ ! -x "$UDRIVER" ]; then
  echo "skipped: uninstall scenarios need kestrel-pack and kestrel_uninstdriver.exe"
  if [ "$U_ALONE" = 1 ]; then
    $WS -k
    echo "$pass passed, $fail failed"
  fi
  return 0 2>/dev/null || exit 0
fi

# ---- the package ----------------------------------------------------------------------------
USRC=$WORK/uninst-product
rm -rf "$USRC"
mkdir -p "$USRC/svc" "$USRC/data/deep"
cp "$BIN/tests/e2e/kestrel_product.exe" "$USRC/uprod.exe"
cp "$BIN/tests/e2e/kestrel_testsvc.exe" "$USRC/svc/us1.exe"
cp "$BIN/tests/e2e/kestrel_testsvc.exe" "$USRC/svc/us2.exe"
printf 'readme\r\n' >"$USRC/readme.txt"
seq 1 5000 >"$USRC/data/deep/numbers.txt"
cat >"$USRC/uninst.toml" <<'EOF'
displayname = "E2E Uninst"
exename = "uprod.exe"
version = "1.0"
installfolder = "Kestrel Uninst\\Product"
programgroup = "Halvard\\E2E Uninst"
appdatafolder = "E2EUninstData"

[[services]]
file = "svc/us1.exe"
name = "KestrelUnSvc1"

[[services]]
file = "svc/us2.exe"
name = "KestrelUnSvc2"

[[shortcuts]]
target = "uprod.exe"
arguments = "-safe"
caption = "E2E Uninst (safe mode)"

[[shortcuts]]
target = "readme.txt"
caption = "E2E Uninst readme"

[association]
extension = ".e2eun"
class = "Brimlow.MXA"
description = "E2E Uninst document"
program = "uprod.exe"

[[files]]
source = "uprod.exe"
[[files]]
source = "readme.txt"
[[files]]
source = "svc"
subfolder = "svc"
[[files]]
source = "data"
subfolder = "data"
EOF
if ASAN_OPTIONS=detect_leaks=0 "$U_PACK" build "$USRC/uninst.toml" -o "$PKG/uninst-setup.exe" \
  --stub "$SETUP" --level fast ${PACK_SIGN[@]+"${PACK_SIGN[@]}"} >"$WORK/pack-uninst.log" 2>&1; then ok; else
  bad "packing the uninstall package: $(tail -n 1 "$WORK/pack-uninst.log")"
fi

UC=$WINEPREFIX/drive_c
UUSER=$UC/users/$(id -un)
UPF="$UC/$PFNAME"
UDEST="$UPF/Kestrel Uninst/Product"
UPROGRAMS="$UUSER/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
UGROUP="$UPROGRAMS/Halvard/E2E Uninst"
USTARTLINK="$UUSER/AppData/Roaming/Microsoft/Windows/Start Menu/E2E Uninst.lnk"
UDESKLINK="$UUSER/Desktop/E2E Uninst.lnk"
USETTINGS="$UUSER/AppData/Roaming/E2EUninstData"
UAPP='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\uprod.exe'
UUNKEY="$UNKEYS\\E2E Uninst"
URUNKEY='HKCU\software\microsoft\windows\currentversion\run\uprod.exe'
UUSERKEY='HKCU\software\Halvard\E2E Uninst'
UKEYS=("$UAPP" "$UUNKEY" 'HKCR\.e2eun' 'HKCR\Brimlow.MXA' "$URUNKEY" "$UUSERKEY")

# u_install NAME [DEST]: the wizard driven through an installation
u_install() {
  local name=$1
  KDRV_DEST=${2:-} timeout -k 5 150 $W "$DRIVER" install "$ART/$name" "$(win "$PKG/uninst-setup.exe")" \
    >"$WORK/$name.log" 2>&1
  local rc=$?
  if [ $rc -ne 0 ]; then bad "$name: install driver exit code $rc"; else ok; fi
  expect "$WORK/$name.log" "exit=0"
  # what the run's later steps remove, made as the product would make it
  mkdir -p "$USETTINGS/profiles" && echo "settings" >"$USETTINGS/profiles/user.cfg"
  $W reg add "$URUNKEY" /v x /d y /f >/dev/null 2>&1
  $W reg add "$UUSERKEY\\Window" /v Left /d 10 /f >/dev/null 2>&1
}
# u_uninstall NAME [SWITCH]: the uninstaller run as the Uninstall key's UninstallString says,
# SWITCH (a /LOG=) added behind it
# the product's own uninstaller, in the folder it was installed to (PFW for the default)
u_uninstall() {
  local name=$1 extra=${2:-} us want
  us=$(u_regval "$UUNKEY" UninstallString)
  want="\"${U_FOLDER:-$PFW\\Kestrel Uninst\\Product}\\Uninstall E2E Uninst.exe\" -ui uprod.exe \"/PRODUCT=E2E Uninst\""
  if [ "$us" = "$want" ]; then ok; else bad "$name: UninstallString '$us'"; fi
  # split as the system splits it: the quoted program, then the arguments
  eval "set -- $us"
  timeout -k 5 150 $W "$UDRIVER" "$ART/uninst-$name" "$@" ${extra:+"$extra"} >"$WORK/uninst-$name.log" 2>&1
  local rc=$?
  if [ $rc -ne 0 ]; then bad "uninst-$name: driver exit code $rc"; else ok; fi
}
u_installed_checks() {  # the install made everything the uninstall must remove
  local what=$1 k
  u_present "$UDEST/uprod.exe" "$what"
  u_present "$UDEST/data/deep/numbers.txt" "$what"
  u_present "$UGROUP/E2E Uninst.lnk" "$what"
  u_present "$UGROUP/E2E Uninst (safe mode).lnk" "$what"
  u_present "$USTARTLINK" "$what"
  u_present "$UDESKLINK" "$what"
  for k in "${UKEYS[@]}"; do u_key present "$k" "$what"; done
  u_svc present KestrelUnSvc1 "$what"
  u_svc present KestrelUnSvc2 "$what"
}
u_removed_checks() {  # nothing the install made is left, except the settings
  local what=$1 k
  u_gone "$UDEST" "$what"                 # its own uninstaller too
  u_gone "$UPF/Kestrel Uninst" "$what"  # the empty folder above it too
  u_absent "$UGROUP" "$what"
  u_absent "$USTARTLINK" "$what"
  u_absent "$UDESKLINK" "$what"
  for k in "${UKEYS[@]}"; do u_key absent "$k" "$what"; done
  u_svc absent KestrelUnSvc1 "$what"
  u_svc absent KestrelUnSvc2 "$what"
  u_absent "$UC/windows/kestrelui.exe" "$what"  # no shared uninstaller is made
  u_present "$UPROGRAMS" "$what"
  u_present "$UPF" "$what"
  u_key present 'HKCU\software\microsoft\windows\currentversion\run' "$what"
}
u_pages() {  # the uninstall pages, texts and buttons
  local L=$1
  expect "$L" "caption=E2E Uninst Uninstaller - Kestrel"
  expect "$L" "text welcometitle=Welcome to the E2E Uninst Uninstaller!"
  expect "$L" "text welcomelabel=Kestrel will uninstall E2E Uninst from your computer."
  expect "$L" "text clicknext1=Click 'Next' to begin uninstalling E2E Uninst."
  expect "$L" "page welcomepage back=dis next=en finish=hid cancel=en"
  expect "$L" "page installingpage back=dis next=dis finish=hid cancel=dis"
  expect "$L" "text installingtitle=Performing Uninstall"
  expect "$L" "text installinglabel=Uninstalling E2E Uninst..."
  expect "$L" "page uninstallfinishpage back=dis next=hid finish=en cancel=dis"
  expect "$L" "text uninstallfinishtitle=Uninstall Complete!"
  expect "$L" "text uninstallfinishlabel=E2E Uninst was successfully removed from your computer."
  expect "$L" "text clickfinish2=Click 'Finish' to exit Kestrel."
  expect "$L" "exit=0"
}

# ---- 1. install, then uninstall keeping the settings; a running copy is asked to close ----
mkdir -p "$UPROGRAMS/Halvard/Other Tool"  # another product of the vendor: "Halvard" stays
u_install uinst1
u_installed_checks uinst1
# in a signed run, the uninstaller that runs next carries the stub's signature
if declare -F signed_check >/dev/null; then signed_check "uinst1: its uninstaller" "$UDEST/Uninstall E2E Uninst.exe"; fi
KDRV_SETTINGS=no KDRV_PRODUCT="E2E Uninst (running)" u_uninstall 1
L=$WORK/uninst-1.log
u_pages "$L"
expect "$L" "box caption=Confirm"
expect "$L" "box text=Do you want to permanently delete all the settings for this program?"
expect "$L" "box owner=wizard"
expect "$L" "answer &No"
expect "$L" "product closed=1"
if grep -q '^box caption=Error' "$L"; then bad "uninst-1: an Error box"; else ok; fi
u_removed_checks uninst1
u_present "$USETTINGS/profiles/user.cfg" uninst1  # the user said No
u_present "$UPROGRAMS/Halvard/Other Tool" uninst1
u_key present 'HKCU\software\Halvard' uninst1
for s in welcome progress settings finish; do
  if [ -s "$ART/uninst-1-$s.png" ]; then ok; else bad "uninst-1: no screenshot $s"; fi
done

# ---- 2. a second install and uninstall in the same prefix; the settings deleted --------------
rm -rf "$UPROGRAMS/Halvard/Other Tool"
u_install uinst2
u_installed_checks uinst2
KDRV_SETTINGS=yes u_uninstall 2
L=$WORK/uninst-2.log
u_pages "$L"
expect "$L" "answer &Yes"
u_removed_checks uninst2
u_absent "$USETTINGS" uninst2
u_absent "$UPROGRAMS/Halvard" uninst2  # empty now: removed

# ---- 3. a file in use goes at the restart: the rest is removed, the finish page says a restart
# completes the removal (96 and 144 DPI), 3010; then /S with a log; after the restart nothing is
# left. (A file whose deletion cannot be scheduled still stops the run: Wine lets every process
# schedule, so that stop is proven on the host.)
UHELD="$UDEST/data/deep/numbers.txt"
USESSION='HKLM\System\CurrentControlSet\Control\Session Manager'
u_held_checks() {  # u_held_checks WHAT: everything but the held file and its folders is gone
  local what=$1 k pending
  u_present "$UHELD" "$what"
  u_absent "$UDEST/uprod.exe" "$what"
  u_absent "$UDEST/readme.txt" "$what"
  u_absent "$UDEST/Uninstall E2E Uninst.dat" "$what"
  u_absent "$UGROUP" "$what"
  u_absent "$UDESKLINK" "$what"
  for k in "${UKEYS[@]}"; do u_key absent "$k" "$what"; done
  u_svc absent KestrelUnSvc1 "$what"
  pending=$($W reg query "$USESSION" /v PendingFileRenameOperations 2>/dev/null | tr -d '\r')
  case "$pending" in
    *'Product\data\deep\numbers.txt'*'Product\data\deep'*) ok ;;
    *) bad "$what: no PendingFileRenameOperations for the held file and its folder: $pending" ;;
  esac
}
for dpi in 96 144; do
  n=3; [ "$dpi" = 144 ] && n=3b
  $W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null 2>&1
  u_install "uinst$n"
  KDRV_SETTINGS=yes KDRV_HOLD="$(win "$UHELD")" u_uninstall $n
  L=$WORK/uninst-$n.log
  expect "$L" "held=1"
  expect "$L" "page uninstallfinishpage back=dis next=hid finish=en cancel=dis"
  expect "$L" "text uninstallfinishlabel=E2E Uninst was removed. Some of its files are in use: restart the computer to complete the removal."
  expect "$L" "exit=3010"
  if grep -q '^box caption=Error' "$L"; then bad "uninst-$n: an Error box"; else ok; fi
  if [ -s "$ART/uninst-$n-finish.png" ]; then ok; else bad "uninst-$n: no screenshot finish"; fi
  u_held_checks "uninst$n"
done
$W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
# what those two restarts would remove, removed by hand: the unattended run starts afresh
rm -rf "$UPF/Kestrel Uninst"
$W reg delete "$USESSION" /v PendingFileRenameOperations /f >/dev/null 2>&1
# unattended, held by another process as a running product holds its files
u_install uinst3c
$W "$BIN/tests/e2e/kestrel_holdfile.exe" "$(win "$UHELD")" >/dev/null 2>&1 &
UHPID=$!
sleep 2
rm -f "$UC/uninst-3c.log"
timeout -k 5 150 $W "$BIN/tests/e2e/kestrel_winprobe.exe" run \
  "$(u_regval "$UUNKEY" QuietUninstallString) /LOG=C:\\uninst-3c.log" >"$WORK/uninst-3c.log" 2>&1 ||
  bad "uninst-3c: probe failed"
expect "$WORK/uninst-3c.log" "exit=3010"
expect_prefix "$UC/uninst-3c.log" "in use, deleted at the next restart: $PFW\\Kestrel Uninst\\Product\\data\\deep\\numbers.txt"
expect_prefix "$UC/uninst-3c.log" "folder deleted at the next restart if empty: $PFW\\Kestrel Uninst\\Product\\data\\deep"
expect_prefix "$UC/uninst-3c.log" "outcome: success, a restart completes it, exit code 3010"
u_held_checks uinst3c
sleep 2  # the copy removes the uninstaller once the first process has ended
u_absent "$UDEST/Uninstall E2E Uninst.exe" uninst3c
kill -9 "$UHPID" 2>/dev/null
wait "$UHPID" 2>/dev/null
timeout -k 5 120 $W wineboot -r >/dev/null 2>&1
u_removed_checks uninst3c  # the held file and every folder above it, up to Program Files
for s in welcome progress finish; do
  if [ -s "$ART/uninst-3-$s.png" ]; then ok; else bad "uninst-3: no screenshot $s"; fi
done

# ---- 4. installed into Program Files itself: the folder and its other contents stay ----------
# Setup refuses such a folder now; an earlier version did not, so the installation is made in a
# folder of its own and then moved up, left as an earlier version left it: App Paths naming the
# folder and no product, no record, the shared uninstaller named by the entry. Its whole-folder
# removal is what the guard keeps from taking Program Files.
echo "not ours" >"$UPF/other-product.txt"
mkdir -p "$UPF/Other Product" && echo keep >"$UPF/Other Product/file.txt"
u_install uinst4 "$PFW\\E2E Legacy"
mv "$UPF/E2E Legacy"/* "$UPF/" && rmdir "$UPF/E2E Legacy"
rm -f "$UPF/Uninstall E2E Uninst.exe" "$UPF/Uninstall E2E Uninst.dat"
$W reg add "$UAPP" /ve /d "$PFW\\uprod.exe" /f >/dev/null 2>&1
$W reg add "$UAPP" /v Path /d "$($PY -c 'import sys; print("".join("".join(chr(65 + (ord(c) >> s & 15)) for s in (12, 8, 4, 0)) for c in sys.argv[1]))' "$PFW")" /f >/dev/null 2>&1
$W reg delete "$UAPP" /v Product /f >/dev/null 2>&1
$W reg add "$UUNKEY" /v UninstallString /d 'C:\windows\kestrelui.exe -ui uprod.exe' /f >/dev/null 2>&1
cp "$SETUP" "$UC/windows/kestrelui.exe"
u_present "$UPF/uprod.exe" uinst4
KDRV_SETTINGS=yes KDRV_PRODUCT="E2E Uninst (busy)" KDRV_STUBBORN=1 timeout -k 5 150 $W "$UDRIVER" \
  "$ART/uninst-4" 'C:\windows\kestrelui.exe' -ui uprod.exe >"$WORK/uninst-4.log" 2>&1 ||
  bad "uninst-4: driver exit code $?"
L=$WORK/uninst-4.log
expect "$L" "box caption=Error"
expect "$L" "box text=The folder \"$PFW\" was not deleted: it is a folder of the system or holds more than this program, so its files were kept."
expect "$L" "page uninstallfinishpage back=dis next=hid finish=en cancel=dis"
expect "$L" "product closed=1"
expect "$L" "exit=0"
# the product that never answered held the run up for a few seconds only
secs=$(sed -n 's/^seconds=//p' "$L")
if [ -n "$secs" ] && [ "$secs" -lt 20 ]; then ok; else bad "uninst-4: took ${secs:-?} s"; fi
u_present "$UPF/other-product.txt" uinst4
u_present "$UPF/Other Product/file.txt" uinst4
u_present "$UPF/uprod.exe" uinst4  # kept with the folder
u_present "$UPF/Common Files" uinst4
for k in "$UAPP" "$UUNKEY" "$URUNKEY" "$UUSERKEY"; do u_key absent "$k" uinst4; done
u_absent "$UGROUP" uinst4
u_absent "$UDESKLINK" uinst4
# a kept folder proves no service or class to be the product's: their programs lie in it
u_svc present KestrelUnSvc1 uinst4
u_svc present KestrelUnSvc2 uinst4
u_key present 'HKCR\.e2eun' uinst4
u_key present 'HKCR\Brimlow.MXA' uinst4
if [ -s "$ART/uninst-4-error.png" ]; then ok; else bad "uninst-4: no screenshot error"; fi
u_drop_services KestrelUnSvc1 KestrelUnSvc2
$W reg delete 'HKCR\.e2eun' /f >/dev/null 2>&1
$W reg delete 'HKCR\Brimlow.MXA' /f >/dev/null 2>&1
rm -rf "$UPF/svc" "$UPF/data" "$UPF/uprod.exe" "$UPF/readme.txt" "$UPF/other-product.txt" "$UPF/Other Product"
rm -f "$UC/windows/kestrelui.exe"

# ---- 5. what the values name is not the product's: a service and an extension --------------
# "servicenames0" names a service whose program lies beside the installation, in a folder whose
# name only begins like it (the product's first service moved to the third entry), and another
# program has taken the extension over: both survive, while the product's own services and
# everything else go.
u_install uinst5
u_installed_checks uinst5
UFOREIGN="$PFW\\Kestrel Uninst\\Product2\\foreign.exe"
$W sc create KestrelForeignSvc binPath= "\"$UFOREIGN\"" >/dev/null 2>&1
u_svc present KestrelForeignSvc uinst5
$W reg add "$UAPP" /v servicenames0 /d KestrelForeignSvc /f >/dev/null 2>&1
$W reg add "$UAPP" /v service2 /d 'svc\us1.exe' /f >/dev/null 2>&1
$W reg add "$UAPP" /v servicenames2 /d KestrelUnSvc1 /f >/dev/null 2>&1
$W reg add 'HKCR\.e2eun' /ve /d E2EOther.Doc /f >/dev/null 2>&1
$W reg add 'HKCR\E2EOther.Doc\shell\open\command' /ve /d '"C:\windows\notepad.exe" "%1"' /f \
  >/dev/null 2>&1
KDRV_SETTINGS=yes u_uninstall 5 '/LOG=C:\uninst-5.log'
L=$WORK/uninst-5.log
u_pages "$L"
if grep -q '^box caption=Error' "$L"; then bad "uninst-5: an Error box"; else ok; fi
u_svc present KestrelForeignSvc uinst5
u_svc absent KestrelUnSvc1 uinst5
u_svc absent KestrelUnSvc2 uinst5
u_key present 'HKCR\.e2eun' uinst5
u_key present 'HKCR\E2EOther.Doc\shell\open\command' uinst5
v=$($W reg query 'HKCR\.e2eun' /ve 2>/dev/null | sed -n 's/^ *([^)]*)  *REG_SZ  *//p' | tr -d '\r')
if [ "$v" = E2EOther.Doc ]; then ok; else bad "uninst-5: HKCR\\.e2eun names '$v'"; fi
u_gone "$UDEST" uinst5
for k in "$UAPP" "$UUNKEY" "$URUNKEY" "$UUSERKEY"; do u_key absent "$k" uinst5; done
U5LOG=$UC/uninst-5.log
# the record names the services, whatever App Paths says now
if grep -q "KestrelForeignSvc" "$U5LOG"; then bad "uninst-5: the foreign service was looked at"; else ok; fi
expect_prefix "$U5LOG" "service deleted: KestrelUnSvc1"
expect_prefix "$U5LOG" "service deleted: KestrelUnSvc2"
expect_prefix "$U5LOG" "file extension kept: .e2eun (it names another class now)"
expect_prefix "$U5LOG" "registry key removed: HKCR\\Brimlow.MXA"
# what nobody names any more: the installer's class
u_drop_services KestrelForeignSvc
$W reg delete 'HKCR\.e2eun' /f >/dev/null 2>&1
$W reg delete 'HKCR\E2EOther.Doc' /f >/dev/null 2>&1
$W reg delete 'HKCR\Brimlow.MXA' /f >/dev/null 2>&1

# ---- 6. hostile "Path" values: the folder guard ------------------------------------------------
. "$ROOT/tests/e2e/guard_scenarios.sh"

echo "uninstall scenarios: $(($(date +%s) - U_T0)) s"
if [ "$U_ALONE" = 1 ]; then
  $WS -k
  echo "$pass passed, $fail failed"
  [ "$fail" -eq 0 ]
fi
