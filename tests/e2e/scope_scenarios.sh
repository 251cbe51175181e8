# Installations for one user: a "user" package runs as asInvoker (read from the shipped file's
# manifest resource), installs below the user's own programs folder and registers in HKCU only,
# silently and through the wizard, and its uninstall removes it again; a scan of the prefix
# before and after shows no change under HKLM, C:\windows or Program Files. An "either" package
# installs for one user with /CURRENTUSER and for every user with /ALLUSERS, both at once as two
# installations, each removed on its own. Wine runs every process as an administrator, so the
# elevation itself is not shown here (the decisions are tested on the host).
# Sourced by run.sh (its prefix, server, helpers and counters); stands alone with
# KESTREL_E2E_ONLY=scope.

S_T0=$(date +%s)
DRIVE_C=${DRIVE_C:-$WINEPREFIX/drive_c}
PRODUCT=${PRODUCT:-$BIN/tests/e2e/kestrel_product.exe}
S_PACK=${PACK:-${PACKER:-}}
for c in "$ROOT/build/host/pack/kestrel-pack" "$ROOT/build/host-san/pack/kestrel-pack"; do
  if [ -z "$S_PACK" ] && [ -x "$c" ]; then S_PACK=$c; fi
done
S_PROBE=$BIN/tests/e2e/kestrel_winprobe.exe
if [ -z "$S_PACK" ] || [ ! -x "$S_PROBE" ]; then
  echo "skipped: scope scenarios need kestrel-pack and kestrel_winprobe.exe"
  return 0
fi
SSRC=$WORK/scope-src
rm -rf "$SSRC"
mkdir -p "$SSRC"

# s_run NAME CMDLINE: the command line under the window probe; "exit=N" in $WORK/NAME.log
s_run() {
  timeout -k 5 150 $W "$S_PROBE" run "$2" >"$WORK/$1.log" 2>&1
  if [ $? -eq 0 ]; then ok; else bad "$1: probe failed ($(tail -n 1 "$WORK/$1.log"))"; fi
}
s_exit() { expect "$WORK/$1.log" "exit=$2"; }
s_present() { if [ -e "$1" ]; then ok; else bad "$2: $1 is missing"; fi; }
s_absent() {  # s_absent PATH WHAT: gone, given a few seconds (the uninstaller goes after its end)
  local i
  for i in $(seq 1 25); do [ -e "$1" ] || { ok; return; }; sleep 0.2; done
  bad "$2: $1 is left"
}
s_key() {  # s_key present|absent KEY WHAT
  if $W reg query "$2" >/dev/null 2>&1; then
    [ "$1" = present ] && ok || bad "$3: key $2 is left"
  else
    [ "$1" = absent ] && ok || bad "$3: key $2 is missing"
  fi
}
s_value() {  # s_value KEY NAME: the value's data as reg prints it
  $W reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2  *REG_[A-Z_]*  *//p"
}
s_expect_value() {  # s_expect_value KEY NAME WANT WHAT
  local got
  got=$(s_value "$1" "$2")
  if [ "$got" = "$3" ]; then ok; else bad "$4: $1 $2 is '$got', want '$3'"; fi
}
# s_scan FILE: what a per-user installation must never change: the machine's registry (both
# views) and every file under C:\windows and the Program Files folders, with sizes and times
s_scan() {
  local k
  : >"$1"
  for k in 'HKLM\Software' 'HKLM\System\CurrentControlSet\Services'; do
    $W reg export "$k" "$(win "$1.part")" /y >/dev/null 2>&1
    iconv -f UTF-16LE -t UTF-8 "$1.part" 2>/dev/null | tr -d '\r' >>"$1"
    rm -f "$1.part"
  done
  (cd "$DRIVE_C" && find windows "Program Files" "Program Files (x86)" "ProgramData" \
    -path 'windows/Temp' -prune -o -printf '%p %s %T@\n' 2>/dev/null | sort) >>"$1"
}
s_same_scan() {  # s_same_scan BEFORE AFTER WHAT
  if diff -q "$1" "$2" >/dev/null; then ok; else
    bad "$3: the machine changed: $(diff "$1" "$2" | grep '^[<>]' | head -n 6 | tr '\n' ' ')"
  fi
}

# s_pack NAME TOML-LINES...: a product of the test program and a readme, $PKG/NAME-setup.exe
s_pack() {
  local name=$1
  shift
  mkdir -p "$SSRC/$name"
  cp "$PRODUCT" "$SSRC/$name/$name.exe"
  printf '%s\r\n' "$name" >"$SSRC/$name/readme.txt"
  {
    printf 'exename = "%s.exe"\nversion = "1.0"\n' "$name"
    printf '%s\n' "$@"
    printf '[[files]]\nsource = "%s.exe"\n[[files]]\nsource = "readme.txt"\n' "$name"
  } >"$SSRC/$name/$name.toml"
  if ASAN_OPTIONS=detect_leaks=0 "$S_PACK" build "$SSRC/$name/$name.toml" -o "$PKG/$name-setup.exe" \
    --stub "$SETUP" --level fast ${PACK_SIGN[@]+"${PACK_SIGN[@]}"} >"$WORK/scope-pack-$name.log" 2>&1; then
    ok
  else
    bad "scope: packing $name: $(tail -n 1 "$WORK/scope-pack-$name.log")"
  fi
}

USERNAME_W=$(ls "$DRIVE_C/users" | grep -v -i -e '^public$' -e '^default' | head -n 1)
LOCALAPP_U="$DRIVE_C/users/$USERNAME_W/AppData/Local"
LOCALAPP_W="C:\\users\\$USERNAME_W\\AppData\\Local"
HKCU_UN='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall'
HKCU_APPS='HKCU\Software\Microsoft\Windows\CurrentVersion\App Paths'

s_pack scu 'displayname = "E2E Scope User"' 'id = "com.kestrel.scope-user"' 'scope = "user"' \
  'installfolder = "Kestrel Scope\\User"' 'programgroup = "Kestrel Scope"' \
  '[[shortcuts]]' 'target = "readme.txt"' 'caption = "Scope Readme"' \
  '[association]' 'extension = ".scu"' 'description = "Scope document"'
s_pack sce 'displayname = "E2E Scope Either"' 'id = "com.kestrel.scope-either"' 'scope = "either"' \
  'installfolder = "Kestrel Scope\\Either"'
s_pack scm 'displayname = "E2E Scope Machine"' 'installfolder = "Kestrel Scope\\Machine"'

# ---- 1. the shipped file asks for no elevation: read from its manifest resource --------------
for n in scu:asInvoker sce:asInvoker scm:requireAdministrator; do
  ASAN_OPTIONS=detect_leaks=0 "$S_PACK" list "$PKG/${n%%:*}-setup.exe" >"$WORK/scope-list-${n%%:*}.log" 2>&1
  if grep -q "; runs as ${n##*:}\$" "$WORK/scope-list-${n%%:*}.log"; then ok; else
    bad "scope: ${n%%:*} does not run as ${n##*:}: $(grep 'Installs for' "$WORK/scope-list-${n%%:*}.log")"
  fi
done
grep -q '^Installs for:   one user;' "$WORK/scope-list-scu.log" && ok || bad "scope: list names no scope"
if declare -F signed_check >/dev/null; then signed_check "scope: user package" "$PKG/scu-setup.exe"; fi
# a package for one user cannot have services: refused with the field and the line
printf 'displayname = "X"\nexename = "scu.exe"\nscope = "user"\n[[services]]\nfile = "scu.exe"\nname = "XSvc"\n[[files]]\nsource = "scu.exe"\n' \
  >"$SSRC/scu/svc.toml"
if ASAN_OPTIONS=detect_leaks=0 "$S_PACK" build "$SSRC/scu/svc.toml" -o "$WORK/svc-setup.exe" \
  --stub "$SETUP" >"$WORK/scope-svc.log" 2>&1; then
  bad "scope: a per-user package with a service was packed"
else
  grep -q 'services (manifest line 4): scope "user" installs for one user, who cannot create services' \
    "$WORK/scope-svc.log" && ok || bad "scope: services refusal: $(cat "$WORK/scope-svc.log")"
fi

# ---- 2. a "user" package, silently: the user's folder and keys, nothing of the machine --------
SCU_DEST_U="$LOCALAPP_U/Programs/Kestrel Scope/User"
SCU_DEST_W="$LOCALAPP_W\\Programs\\Kestrel Scope\\User"
SCU_KEY="$HKCU_UN\\com.kestrel.scope-user"
s_scan "$WORK/scope-before.txt"
s_run scope-user "$(win "$PKG/scu-setup.exe") /S /LOG=C:\\scope-user.log"
s_exit scope-user 0
for f in scu.exe readme.txt "Uninstall com.kestrel.scope-user.exe" "Uninstall com.kestrel.scope-user.dat"; do
  s_present "$SCU_DEST_U/$f" scope-user
done
s_expect_value "$SCU_KEY" InstallLocation "$SCU_DEST_W" scope-user
s_expect_value "$SCU_KEY" QuietUninstallString \
  "\"$SCU_DEST_W\\Uninstall com.kestrel.scope-user.exe\" -ui scu.exe /PRODUCT=com.kestrel.scope-user /CURRENTUSER /S" \
  scope-user
s_expect_value "$HKCU_APPS\\scu.exe" Product com.kestrel.scope-user scope-user
s_key present 'HKCU\Software\Classes\.scu' scope-user
s_key absent "$UNKEYS\\com.kestrel.scope-user" scope-user
s_key absent 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\scu.exe' scope-user
SCU_GROUP=$(find "$DRIVE_C/users/$USERNAME_W" -path '*Programs/Kestrel Scope' -type d | head -n 1)
s_present "$SCU_GROUP/Scope Readme.lnk" scope-user
s_scan "$WORK/scope-after.txt"
s_same_scan "$WORK/scope-before.txt" "$WORK/scope-after.txt" scope-user

# its uninstall, from the entry's own command: the user's folder and keys go, the machine stays
S_CMD=$(s_value "$SCU_KEY" QuietUninstallString)
s_run scope-unuser "$S_CMD /LOG=C:\\scope-unuser.log"
s_exit scope-unuser 0
s_absent "$SCU_DEST_U/scu.exe" scope-unuser
s_absent "$SCU_DEST_U/Uninstall com.kestrel.scope-user.exe" scope-unuser
s_absent "$SCU_GROUP/Scope Readme.lnk" scope-unuser
s_key absent "$SCU_KEY" scope-unuser
s_key absent "$HKCU_APPS\\scu.exe" scope-unuser
s_key absent 'HKCU\Software\Classes\.scu' scope-unuser
s_scan "$WORK/scope-after2.txt"
s_same_scan "$WORK/scope-before.txt" "$WORK/scope-after2.txt" scope-unuser

# ---- 3. the same package through the wizard: its destination page proposes the user's folder --
if [ -x "$DRIVER" ]; then
  timeout -k 5 150 $W "$DRIVER" install "$ART/scope-wizard" "$(win "$PKG/scu-setup.exe")" \
    >"$WORK/scope-wizard.log" 2>&1 && ok || bad "scope-wizard: driver failed"
  expect "$WORK/scope-wizard.log" "installpath=$SCU_DEST_W"
  expect "$WORK/scope-wizard.log" "exit=0"
  s_present "$SCU_DEST_U/scu.exe" scope-wizard
  s_key present "$SCU_KEY" scope-wizard
  s_scan "$WORK/scope-after3.txt"
  s_same_scan "$WORK/scope-before.txt" "$WORK/scope-after3.txt" scope-wizard
  s_run scope-unwizard "$(s_value "$SCU_KEY" QuietUninstallString)"
  s_exit scope-unwizard 0
  s_key absent "$SCU_KEY" scope-unwizard
  s_absent "$SCU_DEST_U/scu.exe" scope-unwizard
fi

# ---- 4. an "either" package: for one user and for every user, two installations ---------------
SCE_USER_U="$LOCALAPP_U/Programs/Kestrel Scope/Either"
SCE_MACHINE_U="$DRIVE_C/$PFNAME/Kestrel Scope/Either"
SCE_UKEY="$HKCU_UN\\com.kestrel.scope-either" SCE_MKEY="$UNKEYS\\com.kestrel.scope-either"
s_run scope-either-user "$(win "$PKG/sce-setup.exe") /S /CURRENTUSER"
s_exit scope-either-user 0
s_present "$SCE_USER_U/sce.exe" scope-either-user
s_key present "$SCE_UKEY" scope-either-user
s_key absent "$SCE_MKEY" scope-either-user
s_run scope-either-machine "$(win "$PKG/sce-setup.exe") /S /ALLUSERS"
s_exit scope-either-machine 0
s_present "$SCE_MACHINE_U/sce.exe" scope-either-machine
s_key present "$SCE_MKEY" scope-either-machine
s_present "$SCE_USER_U/sce.exe" scope-either-machine
# each removed on its own: the user's first, the machine's stays
s_run scope-either-unuser "$(s_value "$SCE_UKEY" QuietUninstallString)"
s_exit scope-either-unuser 0
s_absent "$SCE_USER_U/sce.exe" scope-either-unuser
s_key absent "$SCE_UKEY" scope-either-unuser
s_present "$SCE_MACHINE_U/sce.exe" scope-either-unuser
s_key present "$SCE_MKEY" scope-either-unuser
s_run scope-either-unmachine "$(s_value "$SCE_MKEY" QuietUninstallString)"
s_exit scope-either-unmachine 0
s_absent "$SCE_MACHINE_U/sce.exe" scope-either-unmachine
s_key absent "$SCE_MKEY" scope-either-unmachine
# neither switch, unattended: every user
s_run scope-either-default "$(win "$PKG/sce-setup.exe") /S"
s_exit scope-either-default 0
s_present "$SCE_MACHINE_U/sce.exe" scope-either-default
s_run scope-either-undefault "$(s_value "$SCE_MKEY" QuietUninstallString)"
s_exit scope-either-undefault 0

# ---- 5. the wizard of an "either" package asks before the destination page --------------------
if [ -x "$DRIVER" ]; then
  KDRV_SCOPE=me timeout -k 5 150 $W "$DRIVER" install "$ART/scope-choice" \
    "$(win "$PKG/sce-setup.exe")" >"$WORK/scope-choice.log" 2>&1 && ok || bad "scope-choice: driver failed"
  L=$WORK/scope-choice.log
  expect "$L" "text scopetitle=Choose Users"
  expect "$L" "text scopelabel=Choose whether E2E Scope Either is installed for every user of this computer or just for you."
  expect "$L" "text allusers=Install for all users (recommended)"
  expect "$L" "text justme=Install just for me"
  expect "$L" "checked allusers=1 justme=0"
  expect "$L" "checked allusers=0 justme=1"
  expect "$L" "back to=welcomepage"
  expect "$L" "after scope=destinationpage"
  expect "$L" "destination back to=scopepage"
  expect "$L" "ctl scopetitle vis=1 en=1 rect=147,16,300,13"
  expect "$L" "ctl allusers vis=1 en=1 rect=147,120,319,17"
  expect "$L" "ctl justme vis=1 en=1 rect=147,145,319,17"
  expect "$L" "installpath=$LOCALAPP_W\\Programs\\Kestrel Scope\\Either"
  expect "$L" "exit=0"
  s_present "$SCE_USER_U/sce.exe" scope-choice
  s_key present "$SCE_UKEY" scope-choice
  s_key absent "$SCE_MKEY" scope-choice
  s_run scope-unchoice "$(s_value "$SCE_UKEY" QuietUninstallString)"
  s_exit scope-unchoice 0
  # at 144 DPI, every user: the layout scales by 1.5, the installation goes to Program Files
  $W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
  KDRV_SCOPE=all timeout -k 5 150 $W "$DRIVER" install "$ART/scope-choice-144" \
    "$(win "$PKG/sce-setup.exe")" >"$WORK/scope-choice-144.log" 2>&1 && ok || bad "scope-choice-144: driver failed"
  $W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
  L=$WORK/scope-choice-144.log
  expect "$L" "ctl allusers vis=1 en=1 rect=221,180,478,26"
  expect "$L" "installpath=$PFW\\Kestrel Scope\\Either"
  expect "$L" "exit=0"
  s_present "$SCE_MACHINE_U/sce.exe" scope-choice-144
  s_key present "$SCE_MKEY" scope-choice-144
  s_run scope-unchoice-144 "$(s_value "$SCE_MKEY" QuietUninstallString)"
  s_exit scope-unchoice-144 0
fi

# ---- 6. a switch the package cannot honour: 1639 before anything is touched -------------------
s_run scope-machine-user "$(win "$PKG/scm-setup.exe") /S /CURRENTUSER /LOG=C:\\scope-mu.log"
s_exit scope-machine-user 1639
grep -q '/CURRENTUSER: this package installs for every user only' "$DRIVE_C/scope-mu.log" && ok ||
  bad "scope-machine-user: no reason in the log"
s_absent "$DRIVE_C/$PFNAME/Kestrel Scope/Machine" scope-machine-user
s_run scope-user-all "$(win "$PKG/scu-setup.exe") /S /ALLUSERS"
s_exit scope-user-all 1639
s_absent "$SCU_DEST_U/scu.exe" scope-user-all

echo "scope scenarios: $(($(date +%s) - S_T0)) s"
