#!/usr/bin/env bash
# End-to-end scenarios of setup.exe under Wine with a virtual display, for either build: the
# shipped i686 one runs on Wine's 32-bit layer (wine32) as on 64-bit Windows, x86_64 natively.
# usage: tests/e2e/run.sh [BUILD_DIR]   (default build/win64; needs setup.exe and the drivers)
# Work files and screenshots go to build/e2e-work/NAME/ and build/e2e-artifacts/NAME/ (NAME: the
# build folder's name, or KESTREL_E2E_NAME), so two runs can go at once. The last line is "N passed,
# N failed".
# With KESTREL_E2E_SIGN=1 every package kestrel-pack builds is signed (with a certificate made
# for the run), so the whole suite shows that a signed installer behaves like an unsigned one.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BIN=$(cd "${1:-$ROOT/build/win64}" && pwd)
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$BIN"
fi

W=/usr/lib/wine/wine64 WS=/usr/lib/wine/wineserver PY=/usr/bin/python3
SETUP=$BIN/setup/setup.exe DRIVER=$BIN/tests/e2e/kestrel_guidriver.exe
PROBE=$BIN/tests/e2e/kestrel_uiprobe.exe HELPER=$BIN/tests/e2e/kestrel_helperprobe.exe
NAME=${KESTREL_E2E_NAME:-$(basename "$BIN")}
WORK=$ROOT/build/e2e-work/$NAME ART=$ROOT/build/e2e-artifacts/$NAME
export WINEDEBUG=${WINEDEBUG:--all,err+winediag} WINEDLLOVERRIDES="winemenubuilder.exe=d"
export HOME=$WORK/home
mkdir -p "$WORK" "$ART" "$HOME"
rm -f "$ART"/*.png

pass=0 fail=0
ok() { pass=$((pass + 1)); }
bad() { fail=$((fail + 1)); echo "FAIL: $*"; }
# expect LOG LINE: the driver printed exactly this line
expect() { if grep -Fxq -- "$2" "$1"; then ok; else bad "$(basename "$1"): expected '$2'"; fi; }
# expect_prefix LOG PREFIX: some line starts with it
expect_prefix() { if grep -Fq -- "$2" "$1"; then ok; else bad "$(basename "$1"): no '$2'"; fi; }

# one booted template for every build and script; each run copies it
TPL=$ROOT/build/e2e-work/template
. "$ROOT/tests/e2e/prefix.sh"
e2e_arch "$SETUP"  # ARCH, PFNAME, PFW, UNKEYS
echo "e2e: $ARCH build in $BIN"
export WINEPREFIX=$WORK/prefix
fresh_prefix "$TPL" "$WINEPREFIX" || { echo "0 passed, 1 failed"; exit 1; }
$WS -p  # one server for the whole run
# a prefix Wine cannot run in would fail every scenario alike: say why once and stop (to a
# file, not a pipe: the first Wine process starts helpers that keep its output open)
timeout -k 5 60 $W cmd /c echo kestrel-ready >"$WORK/wine-ready.log" 2>&1
if ! grep -q kestrel-ready "$WORK/wine-ready.log"; then
  echo "FAIL: Wine does not run in $WINEPREFIX: $(tail -n 3 "$WORK/wine-ready.log" | tr '\r\n' '  ')"
  df -h "$WORK" | tail -n 1
  echo "0 passed, 1 failed"
  exit 1
fi

PKG=$WORK/pkg
rm -rf "$PKG"
mkdir -p "$PKG"
printf 'Licence for Demo App\nSecond line\tafter a tab\n\0text after the zero byte' >"$PKG/licence.txt"
$PY "$ROOT/tests/e2e/mkpkg.py" "$SETUP" "$PKG/demo-setup.exe" --name "Demo App" --version 2.5 \
  --installfolder '\Demo App'
$PY "$ROOT/tests/e2e/mkpkg.py" "$SETUP" "$PKG/licensed-setup.exe" --name "Licensed Tool" \
  --version 3.0.1 --installfolder '\Vendor\Licensed Tool' --license "$PKG/licence.txt"
$PY "$ROOT/tests/e2e/mkpkg.py" "$SETUP" "$PKG/nomarker-setup.exe" --no-marker
cp "$SETUP" "$PKG/stub-setup.exe"
cp "$PKG/demo-setup.exe" "$PKG/old-setup.exe"

# a certificate authority and a code signer of this run; PACK_SIGN signs what kestrel-pack builds
. "$ROOT/tests/e2e/testcert.sh"
CERTS=$WORK/certs
rm -rf "$CERTS"
PACK_SIGN=()
SIGNING=0
if command -v openssl >/dev/null && make_test_certs "$CERTS"; then
  if [ "${KESTREL_E2E_SIGN:-0}" = 1 ]; then PACK_SIGN=("${SIGN_PEM_ARGS[@]}") SIGNING=1; fi
elif [ "${KESTREL_E2E_SIGN:-0}" = 1 ]; then
  echo "FAIL: KESTREL_E2E_SIGN=1 but no test certificate could be made"
  exit 1
fi
# signed_check NAME FILE: in a signed run, the file's signature verifies; the log stays in $WORK,
# since a file written beside an installed program is one its uninstaller must keep
signed_check() {
  [ "$SIGNING" = 1 ] || return 0
  local log=$WORK/signed-check.verify.log
  if signature_ok "$2" "$log"; then ok; else bad "$1: signature of $2: $(tail -n 2 "$log" | tr '\n' ' ')"; fi
}

# drive NAME MODE EXE [ARGS...]: runs the driver, its output in $WORK/NAME.log
drive() {
  local name=$1 mode=$2 exe=$3
  shift 3
  timeout -k 5 120 $W "$DRIVER" "$mode" "$ART/$name.png" "$exe" "$@" >"$WORK/$name.log" 2>&1
  local rc=$?
  if [ $rc -ne 0 ]; then bad "$name: driver exit code $rc"; else ok; fi
}
# a pixel of the screenshot as srgb(r,g,b)
pixel() { /usr/bin/convert "$1" -format "%[pixel:p{$2,$3}]" info: 2>/dev/null; }

# the side picture is drawn: dark blue sky at the top, the sun, not the window colour
# check_picture NAME X Y [PERCENT]: the picture's top-left corner in the screenshot (below the
# caption Wine draws) and its scale (150 at 144 DPI)
check_picture() {
  local png=$ART/$1.png
  if [ ! -s "$png" ]; then bad "$1: no screenshot"; return; fi
  ok
  local x=$2 y=$3 s=${4:-100}
  local sky sun
  sky=$(pixel "$png" $((x + 20 * s / 100)) $((y + 20 * s / 100)))
  sun=$(pixel "$png" $((x + 88 * s / 100)) $((y + 78 * s / 100)))
  case "$sky" in srgb\([1-3][0-9],[4-6][0-9],[6-9][0-9]\)) ok ;; *) bad "$1: sky pixel $sky" ;; esac
  case "$sun" in srgb\(2[2-5][0-9],1[6-9][0-9],[6-9][0-9]\)) ok ;; *) bad "$1: sun pixel $sun" ;; esac
}

common_install_checks() {
  local log=$1
  expect "$log" "client=502x357"
  expect "$log" "ctl pages vis=1 en=1 rect=6,5,490,314"
  expect "$log" "ctl cancel vis=1 en=1 rect=415,325,81,26"
  expect "$log" "ctl next vis=1 en=1 rect=328,325,81,26"
  expect "$log" "ctl back vis=1 en=0 rect=247,325,81,26"
  expect "$log" "ctl finish vis=0 en=1 rect=328,325,81,26"
  expect "$log" "ctl welcomepage vis=1 en=1 rect=4,4,482,306"
  expect "$log" "ctl licensepage vis=0 en=1 rect=4,4,482,306"
  expect "$log" "ctl welcometitle vis=1 en=1 rect=147,16,333,40"
  expect "$log" "ctl welcometitle2 vis=1 en=1 rect=144,32,337,28"
  expect "$log" "ctl Image3 vis=1 en=1 rect=0,0,131,306"
  expect "$log" "text next=&Next  >"
  expect "$log" "text back=<  &Back"
  expect "$log" "text cancel=&Cancel"
  expect "$log" "text finish=&Finish"
  expect "$log" "text welcometitle=Welcome to the..."
  expect "$log" "text clicknext1=Click 'Next' to continue."
  expect "$log" "text licensetitle=License Agreement"
  expect "$log" "text agree=I have read and agree to the terms of the license agreement."
  expect "$log" "text readme=View the readme file."
  expect "$log" "text change=Change..."
  expect "$log" "text clickfinish=Click 'Finish' to exit Kestrel."
  expect "$log" "text uninstallfinishlabel="
  # closed by its close box before anything was installed: cancelled
  expect "$log" "exit=1602"
}

t0=$(date +%s)

# KESTREL_E2E_ONLY="deploy uninstall" runs only those scenario files ("core": the scenarios below)
want() { [ -z "${KESTREL_E2E_ONLY:-}" ] || [[ " $KESTREL_E2E_ONLY " == *" $1 "* ]]; }

if want core; then
# 1. a package without a licence
drive install show "$(win "$PKG/demo-setup.exe")"
L=$WORK/install.log
common_install_checks "$L"
expect "$L" "caption=Demo App Installer - Kestrel"
expect "$L" "text welcometitle2=Demo App installer!"
expect "$L" "text welcomelabel=Kestrel will install Demo App 2.5 on your computer.  It is recommended that you close all other applications before continuing."
expect "$L" "text installpath=$PFW\\Demo App"
expect "$L" "text installpathlabel=Install Demo App to:"
expect "$L" "text clicknext2=Click 'Next' to begin installing Demo App."
expect "$L" "text installinglabel=Installing Demo App..."
expect "$L" "text finishlabel=Demo App was successfully installed on your computer."
expect "$L" "text launch=Run Demo App."
expect "$L" "text license="
# controls on the hidden pages: laid out, not visible yet
expect "$L" "ctl launch vis=0 en=1 rect=171,136,319,17 checked=1"
expect "$L" "ctl agree vis=0 en=1 rect=16,273,440,17 checked=0"
expect "$L" "ctl change vis=0 en=1 rect=401,100,65,22"
expect "$L" "ctl installpath vis=0 en=1 rect=147,100,246,21"
expect "$L" "ctl license vis=0 en=1 rect=16,66,450,191"
# the foot line has room for a second line below its first, in the page's margin
expect "$L" "ctl clicknext1 vis=1 en=1 rect=147,277,300,26"
check_picture install 13 31

# 2. a package with a licence: the text is cut at its zero byte
drive licence show "$(win "$PKG/licensed-setup.exe")"
L=$WORK/licence.log
common_install_checks "$L"
expect "$L" "caption=Licensed Tool Installer - Kestrel"
expect "$L" "text welcometitle2=Licensed Tool installer!"
expect "$L" "text welcomelabel=Kestrel will install Licensed Tool 3.0.1 on your computer.  It is recommended that you close all other applications before continuing."
expect "$L" "text installpath=$PFW\\Vendor\\Licensed Tool"
expect "$L" 'text license=Licence for Demo App\r\nSecond line	after a tab\r\n'

# 3. the stub alone carries no package
drive nopackage error "$(win "$PKG/stub-setup.exe")"
L=$WORK/nopackage.log
expect "$L" "box caption=Error"
expect "$L" "box text=No install files attached!"
expect "$L" "wizard visible=0"
expect "$L" "exit=1603"

# 4. a record without the marker
drive nomarker error "$(win "$PKG/nomarker-setup.exe")"
expect "$WORK/nomarker.log" "box text=No install files attached!"
expect "$WORK/nomarker.log" "exit=1603"

# 5. uninstall without uninstall information
drive uninstall-noinfo error "$(win "$PKG/stub-setup.exe")" -ui demo.exe
L=$WORK/uninstall-noinfo.log
expect "$L" "box caption=Error"
expect "$L" "box text=Could not find uninstall information for this program."
expect "$L" "exit=1603"

# 6. uninstall with the App Paths values an installation writes
KEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\demo.exe'
hex() { $PY -c 'import sys; print("".join("".join(chr(65 + (ord(c) >> s & 15)) for s in (12, 8, 4, 0)) for c in sys.argv[1]))' "$1"; }
$W reg add "$KEY" /v Displayname /d "Demo App" /f >/dev/null 2>&1
$W reg add "$KEY" /v Path /d "$(hex 'C:\Program Files\Demo App')" /f >/dev/null 2>&1
$W reg add "$KEY" /v Startpath /d "$(hex 'C:\ProgramData\Start Menu\Demo App')" /f >/dev/null 2>&1
drive uninstall show "$(win "$PKG/stub-setup.exe")" -ui demo.exe
L=$WORK/uninstall.log
expect "$L" "caption=Demo App Uninstaller - Kestrel"
expect "$L" "text welcometitle=Welcome to the Demo App Uninstaller!"
expect_prefix "$L" "ctl welcometitle2 vis=0"
expect "$L" "text welcomelabel=Kestrel will uninstall Demo App from your computer."
expect "$L" "text clicknext1=Click 'Next' to begin uninstalling Demo App."
expect "$L" "text uninstallfinishlabel=Demo App was successfully removed from your computer."
expect "$L" "text installpath="
expect "$L" "exit=1602"
check_picture uninstall 13 31

# 7. "-UI" is not the uninstall switch: the package installs
drive wrongcase show "$(win "$PKG/demo-setup.exe")" -UI demo.exe
expect "$WORK/wrongcase.log" "caption=Demo App Installer - Kestrel"

# 8. a damaged Path value counts as missing
$W reg add "$KEY" /v Path /d "ABC" /f >/dev/null 2>&1
drive uninstall-badpath error "$(win "$PKG/stub-setup.exe")" -ui demo.exe
expect "$WORK/uninstall-badpath.log" "box text=Could not find uninstall information for this program."
$W reg delete "$KEY" /f >/dev/null 2>&1

# 9. reported as an old Windows version: the 8-bit calls run
$W reg add 'HKCU\Software\Wine\AppDefaults\old-setup.exe' /v Version /d win98 /f >/dev/null 2>&1
drive oldwindows show "$(win "$PKG/old-setup.exe")"
L=$WORK/oldwindows.log
expect "$L" "caption=Demo App Installer - Kestrel"
expect "$L" "text welcometitle2=Demo App installer!"
# older systems read the Program Files folder from the registry; Wine has no such value there,
# so the built-in default shows that the 8-bit path ran
expect "$L" 'text installpath=c:\program files\Demo App'
expect "$L" "exit=1602"
# the 8-bit command line is split the same way
$W reg add "$KEY" /v Displayname /d "Old Demo" /f >/dev/null 2>&1
$W reg add "$KEY" /v Path /d "$(hex 'C:\Program Files\Old Demo')" /f >/dev/null 2>&1
drive olduninstall show "$(win "$PKG/old-setup.exe")" -ui demo.exe
expect "$WORK/olduninstall.log" "caption=Old Demo Uninstaller - Kestrel"
expect "$WORK/olduninstall.log" "exit=1602"
$W reg delete "$KEY" /f >/dev/null 2>&1

# 10. the toolkit's Warning question: Yes is the default, Escape answers No
drive warning-escape box:escape "$(win "$PROBE")" warning "Cancel the installation?"
L=$WORK/warning-escape.log
expect "$L" "box caption=Warning"
expect "$L" "box text=Cancel the installation?"
expect "$L" "button id=6 text=&Yes default=1"
expect "$L" "button id=7 text=&No default=0"
expect "$L" "focus id=6"
expect "$L" "exit=7"
drive warning-enter box:enter "$(win "$PROBE")" warning "Cancel the installation?"
expect "$WORK/warning-enter.log" "exit=6"

# 11. the Confirm question counts only Yes
drive confirm-no box:no "$(win "$PROBE")" confirm "Delete the settings?"
L=$WORK/confirm-no.log
expect "$L" "box caption=Confirm"
expect "$L" "box text=Delete the settings?"
expect "$L" "exit=7"
drive confirm-yes box:yes "$(win "$PROBE")" confirm "Delete the settings?"
expect "$WORK/confirm-yes.log" "exit=6"

# 11b. every fault of the program ends in an Error box and exit code 3, never a silent crash:
# the probe is built with setup.exe's flags and its runtime
fault() {  # fault KIND TEXT-PREFIX
  drive "fault-$1" error "$(win "$PROBE")" fault "$1"
  expect "$WORK/fault-$1.log" "box caption=Error"
  expect_prefix "$WORK/fault-$1.log" "box text=$2"
  expect "$WORK/fault-$1.log" "exit=3"
}
fault oom "Kestrel has run out of memory and must close."
fault check "Kestrel has stopped because of an internal error (index out of range)."
fault abort "Kestrel has stopped because of an internal error (abort)."
fault crash "Kestrel has stopped because of an internal error (exception 0xC0000005 at 0x"

# 12. a worker thread's calls run on the main thread, in order
timeout -k 5 60 $W "$PROBE" sync >"$WORK/sync.log" 2>&1
rc=$?
if [ $rc -eq 0 ]; then ok; else bad "sync: exit code $rc"; fi

# 13. the system helpers for real: registry rows written and read back
helper() {  # helper NAME ARGS...: the helper probe's output in $WORK/NAME.log
  local name=$1
  shift
  timeout -k 5 60 $W "$HELPER" "$@" >"$WORK/$name.log" 2>&1
}
DEST='C:\Program Files\Demo App'
helper folders folders
L=$WORK/folders.log
expect "$L" "wide=1"
expect "$L" 'windows=C:\windows'
expect "$L" "programfiles=$PFW"
expect "$L" "wow64=$([ "$ARCH" = i686 ] && echo 1 || echo 0)"
USERDIR="C:\\users\\$(id -un)"
expect "$L" "desktop=$USERDIR\\Desktop"
helper register register "$DEST"
L=$WORK/register.log
expect "$L" "rows=26"
if grep -q "^row failed" "$L"; then bad "register: $(grep '^row failed' "$L" | head -n 1)"; else ok; fi
expect "$L" "read Displayname=Demo: App?"
expect "$L" "readw InstallLocation=$DEST"
expect "$L" "readw AppPaths=$DEST\\demo.exe"
expect "$L" "read Path=$DEST"
expect "$L" 'read Startpath=\Demo Group'
expect "$L" "read Desktop=$USERDIR\\Desktop\\Demo App.lnk"
expect "$L" "read missing=<default>"
expect "$L" "read user=<default>"
expect "$L" "read class=Brimlow.MXA"
expect "$L" "read command=\"$DEST\\viewer.exe\" \"%1\""
APPKEY='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\demo.exe'
regval() { $W reg query "$1" /v "$2" 2>/dev/null | sed -n 's/^ *[^ ].*  *REG_SZ  *//p' | tr -d '\r'; }
regdef() { $W reg query "$1" /ve 2>/dev/null | sed -n 's/^ *([^)]*)  *REG_SZ  *//p' | tr -d '\r'; }
check_eq() { if [ "$2" = "$3" ]; then ok; else bad "$1: '$2' != '$3'"; fi; }
check_eq "App Paths default" "$(regdef "$APPKEY")" "$DEST\\demo.exe"
check_eq "App Paths service0" "$(regval "$APPKEY" service0)" 'svc\kestrel_testsvc.exe'
check_eq "App Paths servicenames0" "$(regval "$APPKEY" servicenames0)" KestrelTestSvc
check_eq "App Paths AppData" "$(regval "$APPKEY" AppData)" DemoData
check_eq "fileassociations" "$(regval "$APPKEY\\" fileassociations)" .dmo
check_eq "mxaopen" "$(regdef 'HKCR\Brimlow.MXA\shell\mxaopen')" "Open with Viewer"
check_eq "UninstallString" \
  "$(regval "$UNKEYS\\Demo: App?" UninstallString)" \
  "\"$DEST\\Uninstall Demo App-de1f8a2d.exe\" -ui demo.exe \"/PRODUCT=Demo: App?\""

# the system's list of installed programs finds the entry in the view this build wrote it to
if $W uninstaller --list 2>/dev/null | tr -d '\r' | grep -Fxq 'Demo: App?|||Demo: App?'; then ok; else
  bad "installed-programs list: no 'Demo: App?'"
fi
if [ "$ARCH" = i686 ]; then
  # redirected as on 64-bit Windows: not in the 64-bit view; App Paths read above by the
  # 64-bit reg.exe, in the view the 64-bit shell reads
  if $W reg query 'HKLM\software\microsoft\windows\currentversion\uninstall\Demo: App?' >/dev/null 2>&1; then
    bad "the 32-bit build's Uninstall key is in the 64-bit view"
  else ok; fi
fi

# 14. shortcuts saved and loaded back
helper shortcuts shortcuts "$DEST"
L=$WORK/shortcuts.log
GROUP="$USERDIR\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Demo Group"
expect "$L" "group=$GROUP\\"
expect "$L" "link $GROUP\\Demo App.lnk"
expect "$L" "link $GROUP\\Demo Tool.lnk"
expect "$L" "  arguments=-x -y"
expect "$L" "  description=Demo: App?"
expect "$L" "  workfolder=$DEST"
expect "$L" "  target=$DEST\\demo.exe"
expect "$L" "  target=$DEST\\readme.txt"
expect "$L" "link $GROUP\\Uninstall Demo App.lnk"
expect_prefix "$L" "  target=$DEST\\Uninstall Demo App-"
expect "$L" '  arguments=-ui demo.exe "/PRODUCT=Demo: App?"'
expect "$L" "  description=Uninstall Demo: App?"
expect "$L" "link $USERDIR\\Desktop\\Demo App.lnk"
if grep -q unreadable "$L"; then bad "shortcuts: a link could not be loaded"; else ok; fi

# 15. a service created (its path has blanks), started, stopped and deleted
SVCDIR="$WINEPREFIX/drive_c/Program Files/Demo App/svc"
mkdir -p "$SVCDIR"
cp "$BIN/tests/e2e/kestrel_testsvc.exe" "$SVCDIR/"
SVCPATH="$DEST\\svc\\kestrel_testsvc.exe"
helper svc-running0 service running KestrelTestSvc
expect "$WORK/svc-running0.log" "service running KestrelTestSvc=0"
helper svc-create service create KestrelTestSvc "$SVCPATH"
expect "$WORK/svc-create.log" "service create KestrelTestSvc=1"
helper svc-create2 service create KestrelTestSvc "$SVCPATH"
expect "$WORK/svc-create2.log" "service create KestrelTestSvc=0"  # an existing service stays
SVCKEY='HKLM\System\CurrentControlSet\Services\KestrelTestSvc'
# quoted: an unquoted path with blanks would let C:\Program.exe run as the service
check_eq "service ImagePath" "$(regval "$SVCKEY" ImagePath)" "\"$SVCPATH\""
check_eq "service Start" "$($W reg query "$SVCKEY" /v Start 2>/dev/null | grep -o '0x[0-9a-f]*')" 0x2
helper svc-start service start KestrelTestSvc
expect "$WORK/svc-start.log" "service start KestrelTestSvc=1"
running=0
for _ in 1 2 3 4 5 6 7 8 9 10; do
  if helper svc-running service running KestrelTestSvc; then running=1; break; fi
  sleep 0.5
done
check_eq "service running after start" "$running" 1
helper svc-stop service stop KestrelTestSvc
expect "$WORK/svc-stop.log" "service stop KestrelTestSvc=1"
# the stop and the deletion return once they have happened, not before
helper svc-stopped service running KestrelTestSvc
expect "$WORK/svc-stopped.log" "service running KestrelTestSvc=0"
helper svc-delete service delete KestrelTestSvc
expect "$WORK/svc-delete.log" "service delete KestrelTestSvc=1"
if $W reg query "$SVCKEY" >/dev/null 2>&1; then bad "service deleted: its key is left"; else ok; fi
helper svc-delete2 service delete KestrelTestSvc
expect "$WORK/svc-delete2.log" "service delete KestrelTestSvc=0"

# 16. a window found by its title pattern
helper findwindow findwindow 'demo APP (*'
expect "$WORK/findwindow.log" "pattern demo APP (* -> Demo App (running) (own)"
helper findwindow-exact findwindow 'Demo App'
expect "$WORK/findwindow-exact.log" "pattern Demo App -> <none>"

# 17. the helpers with an old Windows version reported: the 8-bit calls
$W reg add 'HKCU\Software\Wine\AppDefaults\kestrel_helperprobe.exe' /v Version /d win98 /f >/dev/null 2>&1
helper old-folders folders
L=$WORK/old-folders.log
expect "$L" "wide=0"
expect "$L" 'windows=C:\windows'
expect_prefix "$L" "programs=C:"
helper old-shortcuts shortcuts 'C:\Program Files\Old App'
L=$WORK/old-shortcuts.log
expect "$L" '  target=C:\Program Files\Old App\demo.exe'
expect "$L" "  arguments=-x -y"
expect "$L" '  workfolder=C:\Program Files\Old App'
if grep -q unreadable "$L"; then bad "old-shortcuts: a link could not be loaded"; else ok; fi
helper old-register register 'C:\Program Files\Old App'
expect "$WORK/old-register.log" 'read Path=C:\Program Files\Old App'
expect "$WORK/old-register.log" "rows=24"  # no service rows without the wide calls
$W reg delete 'HKCU\Software\Wine\AppDefaults\kestrel_helperprobe.exe' /f >/dev/null 2>&1

# 18. a DLL planted beside the program is not loaded once the search is restricted
PLANT=$WORK/plant
rm -rf "$PLANT"
mkdir -p "$PLANT"
cp "$HELPER" "$BIN/tests/e2e/kestrel_planted.dll" "$PLANT/"
timeout -k 5 60 $W "$PLANT/kestrel_helperprobe.exe" dllsearch open >"$WORK/dll-open.log" 2>&1
expect "$WORK/dll-open.log" "planted=1"  # found by name without the restriction
timeout -k 5 60 $W "$PLANT/kestrel_helperprobe.exe" dllsearch restricted >"$WORK/dll-restricted.log" 2>&1
expect "$WORK/dll-restricted.log" "planted=0"

# 19. at 144 DPI every pixel value scales by 1.5 (fonts too)
$W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
drive dpi144 show "$(win "$PKG/licensed-setup.exe")"
L=$WORK/dpi144.log
expect "$L" "client=753x536"
expect "$L" "ctl pages vis=1 en=1 rect=9,8,735,471"
expect "$L" "ctl next vis=1 en=1 rect=491,488,122,39"
expect "$L" "ctl cancel vis=1 en=1 rect=622,488,122,39"
expect "$L" "ctl welcometitle vis=1 en=1 rect=221,24,499,60"
expect "$L" "ctl Image3 vis=1 en=1 rect=0,0,197,459"
expect "$L" "exit=1602"
check_picture dpi144 18 45 150
$W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1

# 20. a package made by kestrel-pack from the sample product (when a host build has the packer)
PACKER=${KESTREL_PACK:-}
for c in "$ROOT/build/host/pack/kestrel-pack" "$ROOT/build/host-san/pack/kestrel-pack"; do
  if [ -z "$PACKER" ] && [ -x "$c" ]; then PACKER=$c; fi
done
if [ -n "$PACKER" ]; then
  if ASAN_OPTIONS=detect_leaks=0 "$PACKER" build "$ROOT/examples/sample/kestrel.toml" -o "$PKG/sample-setup.exe" \
    --stub "$SETUP" "${PACK_SIGN[@]}" >"$WORK/pack.log" 2>&1; then
    ok
    signed_check sample "$PKG/sample-setup.exe"
    drive sample show "$(win "$PKG/sample-setup.exe")"
    L=$WORK/sample.log
    expect "$L" "caption=Sample Tool Installer - Kestrel"
    expect "$L" "text installpath=$PFW\\Sample Tool"
    expect_prefix "$L" 'text license=Sample Tool licence\r\n'
    expect "$L" "exit=1602"
  else
    bad "kestrel-pack could not pack the sample: $(tail -n 1 "$WORK/pack.log")"
  fi
else
  echo "skipped: no kestrel-pack built (build/host or build/host-san)"
fi

# ---- the folder dialog ----
# Change... on the destination page: a virtual folder is refused with the two-line message and
# the dialog stays; OK, Enter, Cancel, Escape and the close box; a second opening starts at the
# folder chosen first, whatever was typed since.
choosedir_scenario() {
  local name=$1 L=$WORK/$1.log
  mkdir -p "$WINEPREFIX/drive_c/Ωmega"  # a name outside the 8-bit code page
  timeout -k 5 120 $W "$BIN/tests/e2e/kestrel_dirdriver.exe" "$ART/$name" \
    "$(win "$PKG/demo-setup.exe")" >"$L" 2>&1
  local rc=$?
  if [ $rc -ne 0 ]; then bad "$name: driver exit code $rc"; else ok; fi
  expect "$L" "start installpath=$PFW\\Demo App"
  expect "$L" "dialog caption=Select Folder"
  expect "$L" "dialog closebox=1 sizable=0 minbox=0"
  expect "$L" "dialog owner=wizard"
  expect "$L" "dialog centred=1"
  expect "$L" "ctl ok class=Button rect=$2 text=OK default=1"
  expect "$L" "ctl cancel class=Button rect=$3 text=Cancel default=0"
  expect "$L" "ctl directory class=SysTreeView32 rect=$4 text="
  expect "$L" "tree buttons=1 lines=1 images=1"
  local c='Desktop/My Computer/ (C:)'
  expect "$L" "open1 selected=$c/$PFNAME"
  expect "$L" "open1 expanded=Desktop | Desktop/My Computer | $c"
  expect "$L" "open1 wizard enabled=0"
  expect "$L" "open1 focus on tree=1"
  expect "$L" "open2 focus on tree=1"
  expect "$L" "virtual selected=Desktop/My Computer"
  expect "$L" "box caption=Error"
  expect "$L" 'box text=You have not specified a valid folder.\nPlease select a folder and click OK.'
  expect "$L" "box owner=dialog"
  expect "$L" "after box dialog visible=1"
  expect "$L" "after escape dialog visible=1"
  expect "$L" "users expanded=1 children=some"
  expect "$L" "after ok dialog hidden=1"
  expect "$L" "after ok wizard enabled=1"
  expect "$L" "after ok focus on change=1"  # the wizard active again, its keys alive
  expect "$L" "after ok wizard active=1"
  expect "$L" 'ok installpath=C:\windows\Demo App'
  # the branch opened before is closed again; the tree starts at the folder chosen
  expect "$L" "open2 selected=$c/windows"
  expect "$L" "open2 expanded=Desktop | Desktop/My Computer | $c"
  expect "$L" 'cancel installpath=D:\typed\path'
  expect "$L" "open3 selected=$c/windows"
  expect "$L" "enter selected=$c"
  expect "$L" 'enter installpath=C:\Demo App'  # a drive root: no doubled backslash
  expect "$L" "open4 selected=$c"
  expect "$L" 'close installpath=C:\Demo App'
  expect "$L" "after close wizard enabled=1"
  expect "$L" 'unicode installpath=C:\Ωmega\Demo App'
  expect "$L" "failures=0"
  expect "$L" "exit=1602"
  local png
  for png in "$ART/$name-dialog.png" "$ART/$name-invalid.png"; do
    if [ -s "$png" ]; then ok; else bad "$name: no screenshot $(basename "$png")"; fi
  done
  # the shell's icons are drawn: a tree of text and lines alone has far fewer colours
  local colours
  colours=$(/usr/bin/convert "$ART/$name-dialog.png" -format '%k' info: 2>/dev/null)
  if [ "${colours:-0}" -gt 300 ]; then ok; else bad "$name: $colours colours, no icons?"; fi
}
choosedir_scenario choosedir 109,279,75,25 190,279,75,25 6,6,259,267
expect "$WORK/choosedir.log" "dialog client=271x310"
# at 144 DPI the dialog scales like the wizard
$W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
choosedir_scenario choosedir144 163,418,113,38 285,418,113,38 9,9,389,400
expect "$WORK/choosedir144.log" "dialog client=407x465"
$W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
# ---- end of the folder dialog ----
fi  # core

# the picture decoder fed from memory: JPEG and BMP read, other data refused
want picture && . "$ROOT/tests/e2e/picture_scenarios.sh"

# 21-29. installations: the engine and the wizard's pages
want install && . "$ROOT/tests/e2e/install_scenarios.sh"

# 30-31. packages protected by a password: the password page
if want password; then
  . "$ROOT/tests/e2e/password_scenarios.sh"
  . "$ROOT/tests/e2e/password_silent.sh"
fi

# uninstalls: the run, the settings question, a file in use, the folder guard
want uninstall && . "$ROOT/tests/e2e/uninstall_scenarios.sh"

# 40-43. signed setup files (their own packages, signed or not; once per run is enough)
if [ "$SIGNING" = 0 ] && want sign; then . "$ROOT/tests/e2e/sign_scenarios.sh"; fi

# unattended: silent and passive runs, /D=, the log, every exit code, the full uninstall entry
want deploy && . "$ROOT/tests/e2e/deploy_scenarios.sh"
want identity && . "$ROOT/tests/e2e/identity_scenarios.sh"
# upgrades, downgrades, a killed run, a full drive: the transaction and the version rules
want txn && . "$ROOT/tests/e2e/txn_scenarios.sh"
# installations for one user, and packages for either
want scope && . "$ROOT/tests/e2e/scope_scenarios.sh"
# the uninstaller of an all-users installation from an "either" package
want elevate && . "$ROOT/tests/e2e/elevate_scenarios.sh"

# 50-51. the solid LZMA2 codec beside the classic one, and the packages setup must refuse
want solid && . "$ROOT/tests/e2e/solid_scenarios.sh"

# hostile input: the log's file, system folders as destinations, planted DLLs, a swapped file
want hostile && . "$ROOT/tests/e2e/hostile_scenarios.sh"
# the wizard in German, Japanese and Arabic; names in Greek and Japanese
want lang && . "$ROOT/tests/e2e/lang_scenarios.sh"
# every text of every language in its control at 96 and 144 DPI
want textfit && . "$ROOT/tests/e2e/textfit_scenarios.sh"

$WS -k
echo "e2e ($ARCH): $(($(date +%s) - t0)) s, screenshots in build/e2e-artifacts/$NAME/"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
