# Hostile input end to end, as a careless admin, a hostile local user or a hostile package would
# give it: /LOG= over another program's file and through a hard link, installs into the
# system's folders in every spelling, DLLs planted beside setup.exe, and setup's file swapped
# between its start-up check and the install. Sourced by run.sh (its prefix, server, helpers and
# counters); needs kestrel-pack. Everything lives below C:\hostile, which the last step removes.
H_T0=$(date +%s)
H_PACK=${PACK:-${KESTREL_PACK:-}}
for c in "$ROOT/build/host/pack/kestrel-pack" "$ROOT/build/host-san/pack/kestrel-pack"; do
  if [ -z "$H_PACK" ] && [ -x "$c" ]; then H_PACK=$c; fi
done
if [ -z "$H_PACK" ]; then
  echo "skipped: hostile scenarios need kestrel-pack"
  return 0
fi
H_C=$WINEPREFIX/drive_c
H=$H_C/hostile
rm -rf "$H"
mkdir -p "$H/src" "$H/logs" "$H/other"
H_APP='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\hostile-tool.exe'
H_UNKEY="$UNKEYS\\E2E Hostile"
# install NAME EXE: the driver's install walk (options in KDRV_* variables)
h_install() {
  timeout -k 5 150 $W "$DRIVER" install "$ART/$1" "$(win "$2")" >"$WORK/$1.log" 2>&1
  local rc=$?
  if [ $rc -ne 0 ]; then bad "$1: driver exit code $rc"; else ok; fi
}
# h_rc NAME WANT: the exit code a silent run left in $WORK/NAME.rc (Linux sees it modulo 256)
h_rc() {
  local got
  got=$(cat "$WORK/$1.rc")
  if [ "$got" = "$(($2 % 256))" ]; then ok; else bad "$1: exit code $got, want $2"; fi
}
# h_run NAME ARGS...: a silent setup run, windowless, its exit code in $WORK/NAME.rc
h_run() {
  local name=$1
  shift
  timeout -k 5 120 $W "$@" >"$WORK/$name.out" 2>&1
  echo $? >"$WORK/$name.rc"
}
h_same() {  # h_same NAME FILE COPY: the file still holds what the copy holds
  if cmp -s "$2" "$3"; then ok; else bad "$1: $2 was changed"; fi
}
h_gone() { if [ -e "$1" ]; then bad "$2: $1 exists"; else ok; fi; }
h_key_absent() {
  if $W reg query "$1" >/dev/null 2>&1; then bad "$2: $1 was written"; else ok; fi
}
h_log() {  # h_log FILE TEXT: some line of the log holds TEXT
  if grep -Fq -- "$2" "$1" 2>/dev/null; then ok; else bad "$(basename "$1"): no line with '$2'"; fi
}

# ---- the package: a program and a data file of its own names --------------------------------
cp "$BIN/tests/e2e/kestrel_product.exe" "$H/src/hostile-tool.exe"
head -c 100000 /dev/urandom >"$H/src/hostile-data.bin"
cat >"$H/src/hostile.toml" <<'EOF'
displayname = "E2E Hostile"
exename = "hostile-tool.exe"
installfolder = "Kestrel Hostile"
[[files]]
source = "hostile-tool.exe"
[[files]]
source = "hostile-data.bin"
EOF
H_PKG=$H/hostile-setup.exe
if ASAN_OPTIONS=detect_leaks=0 "$H_PACK" build "$H/src/hostile.toml" -o "$H_PKG" --stub "$SETUP" \
  --level fast >"$WORK/hostile-pack.log" 2>&1; then ok; else bad "hostile: packing failed"; fi
H_EXE=$(win "$H_PKG")

# ---- /LOG=: never another program's file, never through a link, at most its own folder -----
printf 'another program\r\n' >"$H/other/app.log"
cp "$H/other/app.log" "$H/app.log.before"
printf '[fonts]\r\n' >"$H/victim.ini"
cp "$H/victim.ini" "$H/victim.ini.before"
$W cmd /c mklink /H 'C:\hostile\logs\hl.log' 'C:\hostile\victim.ini' >/dev/null 2>&1
if [ "$(stat -c %h "$H/victim.ini")" = 2 ]; then ok; else bad "hostile: no hard link was made"; fi
h_run log-other "$H_EXE" /S '/LOG=C:\hostile\other\app.log'
h_rc log-other 1639
h_same log-other "$H/other/app.log" "$H/app.log.before"
h_run log-hardlink "$H_EXE" /S '/LOG=C:\hostile\logs\hl.log'
h_rc log-hardlink 1639
h_same log-hardlink "$H/victim.ini" "$H/victim.ini.before"
h_run log-twofolders "$H_EXE" /PASSIVE '/LOG=C:\hostile\new1\new2\setup.log'
h_rc log-twofolders 1639
h_gone "$H/new1" log-twofolders
h_key_absent "$H_UNKEY" log-refused
# a log of ours is appended to, its own missing folder made
h_run log-own1 "$(win "$PKG/stub-setup.exe")" /S '/LOG=C:\hostile\new3\own.log'
h_run log-own2 "$(win "$PKG/stub-setup.exe")" /S '/LOG=C:\hostile\new3\own.log'
h_rc log-own2 1603
if [ "$(grep -c 'Kestrel setup ' "$H/new3/own.log" 2>/dev/null)" = 2 ]; then ok; else
  bad "log-own: two runs should leave two runs' lines in one log"
fi
# the wizard says so in an Error box and changes nothing either
drive log-wizard error "$H_EXE" '/LOG=C:\hostile\other\app.log'
expect "$WORK/log-wizard.log" 'box text=The log file "C:\hostile\other\app.log" cannot be written: it already exists and is not a log of Kestrel setup. Nothing was changed.'
expect "$WORK/log-wizard.log" "wizard visible=0"
expect "$WORK/log-wizard.log" "exit=1639"
h_same log-wizard "$H/other/app.log" "$H/app.log.before"

# ---- destinations: nothing into the system's folders, in any spelling -----------------------
H_USER="C:\\users\\$(id -un)"
h_refused() {  # h_refused NAME FOLDER [UNIX]: /S /D=FOLDER exits 1639, says why, writes nothing
  local name=$1 dest=$2
  h_run "$name" "$H_EXE" /S "/LOG=C:\\hostile\\logs\\$name.log" "/D=$dest"
  h_rc "$name" 1639
  h_log "$H/logs/$name.log" "bad switch: /D=The folder \"$dest\" cannot be the installation folder: "
  h_key_absent "$H_UNKEY" "$name"
  h_key_absent "$H_APP" "$name"
  if [ -n "${3:-}" ]; then h_gone "$3/hostile-tool.exe" "$name"; fi
}
h_refused dest-root 'C:\' "$H_C"
h_refused dest-windows 'C:\windows' "$H_C/windows"
h_refused dest-system32 'C:\windows\system32' "$H_C/windows/system32"
h_refused dest-inwindows 'C:\windows\Hostile Tool' "$H_C/windows/Hostile Tool"
h_refused dest-users 'C:\users' "$H_C/users"
h_refused dest-documents "$H_USER\\Documents" "$H_C/users/$(id -un)/Documents"
h_refused dest-downloads "$H_USER\\Downloads" "$H_C/users/$(id -un)/Downloads"
h_refused dest-programfiles "$PFW" "$H_C/$PFNAME"
h_refused dest-common "C:\\Program Files\\Common Files" "$H_C/Program Files/Common Files"
h_refused dest-dotdot "$PFW\\..\\windows" "$H_C/windows"
h_refused dest-slash 'C:/windows' "$H_C/windows"
h_refused dest-unc '\\localhost\C$\hostile\unc'
# Program Files by its short name, as the system gives it
H_SHORT=$($W "$BIN/tests/e2e/kestrel_guardprobe.exe" shortname "$PFW" | sed -n 's/^short=//p' | tr -d '\r')
case "$H_SHORT" in 'C:\'*'~'*) h_refused dest-short "$H_SHORT" "$H_C/$PFNAME" ;;
  *) bad "hostile: no short name for $PFW ('$H_SHORT')" ;; esac
# a folder of its own installs, recorded as the system spells what stands; the uninstall
# removes it again
mkdir -p "$H/Target"
h_run dest-own "$H_EXE" /S '/LOG=C:\hostile\logs\dest-own.log' '/D=c:\HOSTILE\target\Tool'
h_rc dest-own 0
if cmp -s "$H/src/hostile-data.bin" "$H/Target/Tool/hostile-data.bin"; then ok; else bad "dest-own: not installed"; fi
if $W reg query "$H_UNKEY" /v InstallLocation 2>/dev/null | tr -d '\r' | grep -Fq 'C:\hostile\Target\Tool'; then ok; else
  bad "dest-own: InstallLocation is not the folder as the system spells it"
fi
h_run dest-own-uninstall 'C:\hostile\Target\Tool\Uninstall E2E Hostile.exe' -ui hostile-tool.exe \
  '/PRODUCT=E2E Hostile' /S
h_rc dest-own-uninstall 0
# the uninstaller itself goes once the program the entry started has ended
for _ in $(seq 1 25); do [ -e "$H/Target/Tool" ] || break; sleep 0.2; done
h_gone "$H/Target/Tool" dest-own-uninstall
# the wizard says why and stays on the page
KDRV_DEST='C:\windows' KDRV_DEST_REFUSED=1 h_install dest-wizard "$H_PKG"
L=$WORK/dest-wizard.log
expect "$L" "box caption=Error"
expect "$L" 'box text=The folder "C:\windows" cannot be the installation folder: it is one of the system'"'"'s own folders. Choose a folder of its own for the program, such as one below Program Files.'
expect "$L" "page after box=destinationpage"
expect "$L" "selection=0,10 length=10"
expect "$L" "exit=1602"
h_key_absent "$H_UNKEY" dest-wizard
$W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
KDRV_DEST='C:\users' KDRV_DEST_REFUSED=1 h_install dest-wizard144 "$H_PKG"
expect "$WORK/dest-wizard144.log" "page after box=destinationpage"
$W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
for png in dest-wizard-destination-refused dest-wizard144-destination-refused; do
  if [ -s "$ART/$png.png" ]; then ok; else bad "$png: no screenshot"; fi
done

# ---- DLLs planted beside setup.exe: none is loaded ----------------------------------------
# Wine loads a DLL beside the program first when told to prefer native ones, as Windows does
# for a DLL that is not a known DLL. version.dll, imm32.dll and msimg32.dll are left out: Wine's
# own user32 loads the first two as the process starts, before any code of ours, and Wine looks
# beside the program for its uxtheme's msimg32 even after the search was restricted (on
# Windows, user32 and imm32 are known DLLs and a restricted search holds for a DLL's imports).
mkdir -p "$H/plant"
cp "$PKG/demo-setup.exe" "$H/plant/setup.exe"
for d in uxtheme comctl32 dwmapi; do cp "$BIN/tests/e2e/kestrel_planted.dll" "$H/plant/$d.dll"; done
WINEDEBUG=-all,+loaddll WINEDLLOVERRIDES="winemenubuilder.exe=d;uxtheme,comctl32,dwmapi=n,b" \
  drive planted show 'C:\hostile\plant\setup.exe'
expect "$WORK/planted.log" "exit=1602"
if grep -q 'Loaded L"C:\\\\hostile\\\\plant\\\\[a-z0-9]*\.dll' "$WORK/planted.log"; then
  bad "planted: $(grep -o 'Loaded L"C:\\\\hostile\\\\plant\\\\[a-z0-9]*\.dll' "$WORK/planted.log" | sort -u | tr '\n' ' ')"
else ok; fi
# the common controls come from the side-by-side copy the manifest names
if grep -q 'Loaded L"C:\\\\windows\\\\winsxs\\\\[^"]*common-controls[^"]*\\\\comctl32.dll' "$WORK/planted.log"; then ok; else
  bad "planted: comctl32 was not taken from the side-by-side store"
fi
# the stub imports at load time only the system's known DLLs; a program that imports another
# one (Wine's notepad, which imports comctl32) is caught
if python3 "$ROOT/scripts/stub-pe" check "$SETUP" >"$WORK/stub-pe.log" 2>&1; then ok; else bad "stub-pe: $(tail -n 1 "$WORK/stub-pe.log")"; fi
H_NOTEPAD=$H_C/windows/system32/notepad.exe
if python3 "$ROOT/scripts/stub-pe" check "$H_NOTEPAD" >"$WORK/stub-pe-notepad.log" 2>&1; then
  bad "stub-pe passed notepad.exe"
else
  expect_prefix "$WORK/stub-pe-notepad.log" "FAIL $H_NOTEPAD: imports at load time "
fi

# ---- the file swapped between the start-up check and the install -------------------------
# The same layout with another payload and another program part: what the check read must be
# what is installed, and the uninstaller copy too. Both with the classic directory and the same
# file times, so that nothing but the content differs.
mkdir -p "$H/swap/src"
cp -p "$H/src/hostile.toml" "$H/src/hostile-tool.exe" "$H/swap/src/"
head -c 100000 /dev/urandom >"$H/swap/src/hostile-data.bin"
touch -r "$H/src/hostile-data.bin" "$H/swap/src/hostile-data.bin"
for s in src swap/src; do
  ASAN_OPTIONS=detect_leaks=0 SOURCE_DATE_EPOCH=1765000000 "$H_PACK" build "$H/$s/hostile.toml" \
    -o "$H/$s/classic.exe" --stub "$SETUP" --level fast --classic-directory >>"$WORK/hostile-pack.log" 2>&1
done
mv "$H/swap/src/classic.exe" "$H/swap/other.exe"
$PY - "$H/swap/other.exe" <<'EOF'
import sys
p = sys.argv[1]
d = bytearray(open(p, "rb").read())
i = d.index(b"This program cannot be run")
d[i] = ord("t")  # another program part, as far as the uninstaller copy is concerned
open(p, "wb").write(d)
EOF
if [ "$(stat -c %s "$H/swap/other.exe")" = "$(stat -c %s "$H/src/classic.exe")" ]; then ok; else bad "swap: the two packages differ in layout"; fi
cp "$H/src/classic.exe" "$H/swap/setup.exe"
rm -f "$H/swap/go" "$H_C/windows/kestrelui.exe"
rm -f "$WORK/swap.log"  # before the swapper looks: an earlier run's log would set it off at once
(
  for _ in $(seq 1 400); do
    if grep -q '^waiting for' "$WORK/swap.log" 2>/dev/null; then
      mv -f "$H/swap/other.exe" "$H/swap/setup.exe"  # a new file under the old name
      touch "$H/swap/go"
      exit 0
    fi
    sleep 0.05
  done
) &
H_SWAPPER=$!
KDRV_WAIT_FILE='C:\hostile\swap\go' KDRV_DEST='C:\hostile\Swapped' h_install swap "$H/swap/setup.exe"
wait "$H_SWAPPER"
expect "$WORK/swap.log" "exit=0"
if cmp -s "$H/src/hostile-data.bin" "$H/Swapped/hostile-data.bin"; then ok; else bad "swap: the swapped file's payload was installed"; fi
if cmp -s "$SETUP" "$H/Swapped/Uninstall E2E Hostile.exe"; then ok; else bad "swap: the uninstaller copy is not the checked file's program part"; fi
h_run swap-uninstall 'C:\hostile\Swapped\Uninstall E2E Hostile.exe' -ui hostile-tool.exe \
  '/PRODUCT=E2E Hostile' /S
h_rc swap-uninstall 0

rm -rf "$H"
echo "hostile scenarios: $(($(date +%s) - H_T0)) s"
