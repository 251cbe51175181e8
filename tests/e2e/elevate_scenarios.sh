# The uninstaller of an all-users installation made from an "either" package: its manifest asks
# for no rights, so started without them it starts itself again with the runas verb. Wine runs
# every process as an administrator, so here it never needs to: the all-users uninstall through
# the wizard and silently runs in place, its log says nothing of a second start, and the
# uninstaller and its folder still go after it. The elevated copy's switch (/ELEVATED= naming a
# process it cannot reach, as for an elevation by another account) still uninstalls, passes its
# exit code on and leaves only the uninstaller file. The decisions themselves (scope, rights,
# refusal) are tested on the host.
# Sourced by run.sh (its prefix, server, helpers and counters); stands alone with
# KESTREL_E2E_ONLY=elevate.

E_T0=$(date +%s)
DRIVE_C=${DRIVE_C:-$WINEPREFIX/drive_c}
PRODUCT=${PRODUCT:-$BIN/tests/e2e/kestrel_product.exe}
E_PACK=${PACK:-${PACKER:-}}
for c in "$ROOT/build/host/pack/kestrel-pack" "$ROOT/build/host-san/pack/kestrel-pack"; do
  if [ -z "$E_PACK" ] && [ -x "$c" ]; then E_PACK=$c; fi
done
E_PROBE=$BIN/tests/e2e/kestrel_winprobe.exe E_UDRIVER=$BIN/tests/e2e/kestrel_uninstdriver.exe
if [ -z "$E_PACK" ] || [ ! -x "$E_PROBE" ] || [ ! -x "$E_UDRIVER" ]; then
  echo "skipped: elevate scenarios need kestrel-pack, kestrel_winprobe.exe and kestrel_uninstdriver.exe"
  return 0
fi
ESRC=$WORK/elevate-src
rm -rf "$ESRC"
mkdir -p "$ESRC"
cp "$PRODUCT" "$ESRC/sev.exe"
printf 'sev\r\n' >"$ESRC/readme.txt"
printf '%s\n' 'displayname = "E2E Elevate Either"' 'exename = "sev.exe"' 'version = "1.0"' \
  'id = "com.kestrel.elevate-either"' 'scope = "either"' 'installfolder = "Kestrel Elevate\\Either"' \
  '[[files]]' 'source = "sev.exe"' '[[files]]' 'source = "readme.txt"' >"$ESRC/sev.toml"
if ASAN_OPTIONS=detect_leaks=0 "$E_PACK" build "$ESRC/sev.toml" -o "$PKG/sev-setup.exe" \
  --stub "$SETUP" --level fast ${PACK_SIGN[@]+"${PACK_SIGN[@]}"} >"$WORK/elevate-pack.log" 2>&1; then
  ok
else
  bad "elevate: packing: $(tail -n 1 "$WORK/elevate-pack.log")"
fi

E_DEST_U="$DRIVE_C/$PFNAME/Kestrel Elevate/Either"
E_KEY="$UNKEYS\\com.kestrel.elevate-either"
E_UNINST="$E_DEST_U/Uninstall com.kestrel.elevate-either.exe"
e_run() {  # e_run NAME CMDLINE: under the window probe, "exit=N" in $WORK/NAME.log
  timeout -k 5 150 $W "$E_PROBE" run "$2" >"$WORK/$1.log" 2>&1
  if [ $? -eq 0 ]; then ok; else bad "$1: probe failed ($(tail -n 1 "$WORK/$1.log"))"; fi
}
e_value() {
  $W reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2  *REG_[A-Z_]*  *//p"
}
e_gone() {  # e_gone PATH WHAT: gone, given a few seconds (the uninstaller goes after its end)
  local i
  for i in $(seq 1 25); do [ -e "$1" ] || { ok; return; }; sleep 0.2; done
  bad "$2: $1 is left"
}
e_install() {  # e_install NAME: for every user, silently
  e_run "$1" "$(win "$PKG/sev-setup.exe") /S /ALLUSERS"
  expect "$WORK/$1.log" "exit=0"
  if [ -e "$E_UNINST" ] && $W reg query "$E_KEY" >/dev/null 2>&1; then ok; else
    bad "$1: no all-users installation"
  fi
}
# e_removed NAME LOG: the product, its entry, its uninstaller and folder are gone; the log tells
# of the run in place and of no second start
e_removed() {
  e_gone "$E_DEST_U/sev.exe" "$1"
  e_gone "$E_UNINST" "$1"
  e_gone "$E_DEST_U" "$1"
  if $W reg query "$E_KEY" >/dev/null 2>&1; then bad "$1: entry $E_KEY is left"; else ok; fi
  grep -q ' outcome: success, exit code 0' "$2" && ok || bad "$1: no success in its log"
  if grep -q 'starts again with administrator rights' "$2"; then
    bad "$1: an administrator's uninstall started again"
  else ok; fi
}

# ---- 1. through the wizard, from the entry's UninstallString -----------------------------------
e_install elevate-install1
E_US=$(e_value "$E_KEY" UninstallString)
case "$E_US" in *' /CURRENTUSER'*) bad "elevate: an all-users entry names /CURRENTUSER" ;; *) ok ;; esac
rm -f "$DRIVE_C/elevate-wizard.log"
eval "set -- $E_US"
KDRV_SETTINGS=no timeout -k 5 150 $W "$E_UDRIVER" "$ART/elevate-wizard" "$@" '/LOG=C:\elevate-wizard.log' \
  >"$WORK/elevate-wizard.log" 2>&1 && ok || bad "elevate-wizard: driver failed"
L=$WORK/elevate-wizard.log
expect "$L" "text welcometitle=Welcome to the E2E Elevate Either Uninstaller!"
expect "$L" "page uninstallfinishpage back=dis next=hid finish=en cancel=dis"
expect "$L" "exit=0"
e_removed elevate-wizard "$DRIVE_C/elevate-wizard.log"

# ---- 2. silently, from its QuietUninstallString -------------------------------------------------
e_install elevate-install2
rm -f "$DRIVE_C/elevate-silent.log"
e_run elevate-silent "$(e_value "$E_KEY" QuietUninstallString) /LOG=C:\\elevate-silent.log"
expect "$WORK/elevate-silent.log" "exit=0"
e_removed elevate-silent "$DRIVE_C/elevate-silent.log"

# ---- 3. the elevated copy's switch, its first copy out of reach --------------------------------
# As after an elevation by another account: the copy cannot take the link over from the process
# named (none has that id), so it uninstalls unlinked; the first process still ends with its
# code, and only the uninstaller it ran from stays, with its folder.
e_install elevate-install3
rm -f "$DRIVE_C/elevate-away.log"
e_run elevate-away "$(e_value "$E_KEY" QuietUninstallString) /ELEVATED=4294967293 /LOG=C:\\elevate-away.log"
expect "$WORK/elevate-away.log" "exit=0"
e_gone "$E_DEST_U/sev.exe" elevate-away
if $W reg query "$E_KEY" >/dev/null 2>&1; then bad "elevate-away: entry $E_KEY is left"; else ok; fi
grep -q ' outcome: success, exit code 0' "$DRIVE_C/elevate-away.log" && ok ||
  bad "elevate-away: no success in its log"
if [ -e "$E_UNINST" ]; then ok; else bad "elevate-away: the unlinked copy removed the uninstaller"; fi
rm -rf "$DRIVE_C/$PFNAME/Kestrel Elevate"

# ---- 4. a per-user installation of the same package never asks ----------------------------------
e_run elevate-user "$(win "$PKG/sev-setup.exe") /S /CURRENTUSER"
expect "$WORK/elevate-user.log" "exit=0"
E_UKEY='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\com.kestrel.elevate-either'
rm -f "$DRIVE_C/elevate-unuser.log"
e_run elevate-unuser "$(e_value "$E_UKEY" QuietUninstallString) /LOG=C:\\elevate-unuser.log"
expect "$WORK/elevate-unuser.log" "exit=0"
if $W reg query "$E_UKEY" >/dev/null 2>&1; then bad "elevate-unuser: entry is left"; else ok; fi
if grep -q 'starts again with administrator rights' "$DRIVE_C/elevate-unuser.log"; then
  bad "elevate-unuser: a per-user uninstall started again"
else ok; fi

echo "elevate scenarios: $(($(date +%s) - E_T0)) s"
