# Unattended deployment end to end: /S, /PASSIVE, /D=, /LOG=, the exit codes and the full
# uninstall entry. Sourced by run.sh after the install and uninstall scenarios (their prefix,
# server, helpers, counters and packer). Every setup run here is watched by kestrel_winprobe,
# which looks at all windows of the process every few milliseconds.

WPROBE=$BIN/tests/e2e/kestrel_winprobe.exe
D_T0=$(date +%s)
if [ -z "${PACK:-}" ] || [ ! -x "$WPROBE" ]; then
  echo "skipped: deployment scenarios need kestrel-pack and kestrel_winprobe.exe"
  return 0
fi
DEPLOY_KEY="$UNKEYS\\E2E Deploy"
DEPLOY_APP='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\deploy.exe'
DEPLOY_DEFAULT="$PFW\\Kestrel Deploy\\Product"
DEPLOY_BLANKS='C:\Deploy Target\With  Two Blanks'

# probe NAME CMDLINE: runs the command line under the window probe, output in $WORK/NAME.log
probe() {
  timeout -k 5 150 $W "$WPROBE" run "$2" >"$WORK/$1.log" 2>&1
  if [ $? -eq 0 ]; then ok; else bad "$1: probe failed ($(tail -n 1 "$WORK/$1.log"))"; fi
}
# no window of the process was ever visible
windowless() {
  if grep -Eq '^windows=[0-9]+ visible=0$' "$WORK/$1.log"; then ok; else
    bad "$1: a window was shown: $(grep -E '^(shown|windows)' "$WORK/$1.log" | tr '\n' ' ')"
  fi
}
# reg_value KEY NAME: the value's data as reg prints it, or nothing
reg_value() {
  $W reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2  *REG_[A-Z_]*  *//p"
}
expect_value() {  # expect_value KEY NAME WANT WHAT
  local got
  got=$(reg_value "$1" "$2")
  if [ "$got" = "$3" ]; then ok; else bad "$4: $2 is '$got', want '$3'"; fi
}
no_value() {  # no_value KEY NAME WHAT
  if $W reg query "$1" /v "$2" >/dev/null 2>&1; then bad "$3: $2 should not be written"; else ok; fi
}
log_has() {  # log_has FILE TEXT: a stamped line contains TEXT
  if grep -Eq '^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} ' "$1" &&
    grep -Fq -- "$2" "$1"; then ok; else bad "$(basename "$1"): no line with '$2'"; fi
}

# ---- the package: a product with a service, shortcuts, an association, publisher and url ----
DSRC=$WORK/deploy-src
rm -rf "$DSRC"
mkdir -p "$DSRC/svc" "$DSRC/data"
cp "$PRODUCT" "$DSRC/deploy.exe"
cp "$BIN/tests/e2e/kestrel_testsvc.exe" "$DSRC/svc/deploysvc.exe"
printf 'E2E Deploy\r\n' >"$DSRC/readme.txt"
head -c 200000 /dev/urandom >"$DSRC/data/blob.bin"
cat >"$DSRC/deploy.toml" <<'EOF'
displayname = "E2E Deploy"
exename = "deploy.exe"
version = "3.1.4"
publisher = "Kestrel Test Works"
url = "https://kestrel.example/deploy"
installfolder = "Kestrel Deploy\\Product"
programgroup = "Kestrel Deploy"
appdatafolder = "E2EDeployData"
[[services]]
file = "svc/deploysvc.exe"
name = "KestrelDeploySvc"
[[shortcuts]]
target = "readme.txt"
caption = "E2E Deploy readme"
[association]
extension = ".e2edeploy"
class = "Brimlow.MXA"
description = "E2E Deploy document"
program = "deploy.exe"
[[files]]
source = "deploy.exe"
[[files]]
source = "readme.txt"
[[files]]
source = "svc"
subfolder = "svc"
[[files]]
source = "data"
subfolder = "data"
EOF
DPKG=$PKG/deploy-setup.exe
if ASAN_OPTIONS=detect_leaks=0 "$PACK" build "$DSRC/deploy.toml" -o "$DPKG" --stub "$SETUP" \
  >"$WORK/deploy-pack.log" 2>&1; then ok; else bad "deploy: packing failed"; fi
"$PACK" list "$DPKG" >"$WORK/deploy-list.log" 2>&1
expect "$WORK/deploy-list.log" "Publisher:      Kestrel Test Works"
expect "$WORK/deploy-list.log" "Web page:       https://kestrel.example/deploy"
# the record's reserved tail as an older packer left it (zeros), and full of noise
tail_patch() {  # tail_patch IN OUT zero|noise
  $PY - "$1" "$2" "$3" <<'EOF'
import os, sys
data = bytearray(open(sys.argv[1], "rb").read())
at = len(data) - 12408 + 11628
data[at:at + 780] = bytes(780) if sys.argv[3] == "zero" else os.urandom(780)
open(sys.argv[2], "wb").write(data)
EOF
}
# an older packer's layout: the classic directory, which needs nothing from the tail
"$PACK" build "$DSRC/deploy.toml" -o "$PKG/deploy-classic.exe" --stub "$SETUP" --classic-directory \
  >>"$WORK/deploy-pack.log" 2>&1
tail_patch "$PKG/deploy-classic.exe" "$PKG/deploy-old.exe" zero
tail_patch "$PKG/deploy-classic.exe" "$PKG/deploy-noise.exe" noise
"$PACK" list "$PKG/deploy-old.exe" >"$WORK/deploy-list-old.log" 2>&1
if grep -q '^Publisher:' "$WORK/deploy-list-old.log"; then bad "old package lists a publisher"; else ok; fi

# installed_checks NAME DEST: everything is there, the full uninstall entry included
installed_checks() {
  local name=$1 dest=$2
  verify "$name-verify" installed "$DPKG" "$dest"
  expect_value "$DEPLOY_KEY" DisplayName "E2E Deploy" "$name"
  # the product's own uninstaller, named by its identity (the display name: no id given)
  expect_value "$DEPLOY_KEY" UninstallString \
    "\"$dest\\Uninstall E2E Deploy.exe\" -ui deploy.exe \"/PRODUCT=E2E Deploy\"" "$name"
  expect_value "$DEPLOY_KEY" QuietUninstallString \
    "\"$dest\\Uninstall E2E Deploy.exe\" -ui deploy.exe \"/PRODUCT=E2E Deploy\" /S" "$name"
  expect_value "$DEPLOY_KEY" InstallRecord "$dest\\Uninstall E2E Deploy.dat" "$name"
  expect_value "$DEPLOY_KEY" DisplayVersion 3.1.4 "$name"
  expect_value "$DEPLOY_KEY" DisplayIcon "$dest\\deploy.exe" "$name"
  expect_value "$DEPLOY_KEY" InstallLocation "$dest" "$name"
  expect_value "$DEPLOY_KEY" NoModify 0x1 "$name"
  expect_value "$DEPLOY_KEY" NoRepair 0x1 "$name"
  expect_value "$DEPLOY_KEY" InstallDate "$(date +%Y%m%d)" "$name"
  local kib
  kib=$(( ($(stat -c %s "$DSRC/deploy.exe") + $(stat -c %s "$DSRC/readme.txt") +
           $(stat -c %s "$DSRC/svc/deploysvc.exe") + 200000 + 1023) / 1024 ))
  expect_value "$DEPLOY_KEY" EstimatedSize "$(printf '0x%x' "$kib")" "$name"
  u_svc present KestrelDeploySvc "$name"
  u_present "$DEPLOY_GROUP" "$name"
  u_present "$DEPLOY_DESKLINK" "$name"
  u_present "$DEPLOY_MENULINK" "$name"
}
# quiet_uninstall NAME [EXTRA]: the uninstall command exactly as the entry says, plus EXTRA
quiet_uninstall() {
  local cmd
  cmd=$(reg_value "$DEPLOY_KEY" QuietUninstallString)
  if [ -n "$cmd" ]; then ok; else bad "$1: no QuietUninstallString"; fi
  probe "$1" "$cmd${2:+ $2}"
  expect "$WORK/$1.log" "exit=0"
  windowless "$1"
}
# everything the install made is gone, its own uninstaller too (once its first process ended)
DEPLOY_GROUP=$DRIVE_C/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start\ Menu/Programs/Kestrel\ Deploy
DEPLOY_DESKLINK=$DRIVE_C/users/$(id -un)/Desktop/E2E\ Deploy.lnk
DEPLOY_MENULINK=$DRIVE_C/users/$(id -un)/AppData/Roaming/Microsoft/Windows/Start\ Menu/E2E\ Deploy.lnk
removed_checks() {  # removed_checks NAME DEST DEST_UNIX
  u_gone "$3" "$1"
  u_absent "$DEPLOY_GROUP" "$1"
  u_absent "$DEPLOY_DESKLINK" "$1"
  u_absent "$DEPLOY_MENULINK" "$1"
  u_key absent "$DEPLOY_KEY" "$1"
  u_key absent "$DEPLOY_APP" "$1"
  u_key absent 'HKCR\.e2edeploy' "$1"
  u_svc absent KestrelDeploySvc "$1"
}
DEST_DEFAULT_U=$DRIVE_C/Program\ Files/Kestrel\ Deploy/Product
DEST_BLANKS_U="$DRIVE_C/Deploy Target/With  Two Blanks"

# ---- 1. silent install to the default folder, with a log; silent uninstall as the entry says ----
probe deploy-silent "$(win "$DPKG") /S /LOG=C:\\deploy-install.log"
expect "$WORK/deploy-silent.log" "exit=0"
windowless deploy-silent
installed_checks deploy-silent "$DEPLOY_DEFAULT"
expect_value "$DEPLOY_KEY" Publisher "Kestrel Test Works" deploy-silent
expect_value "$DEPLOY_KEY" URLInfoAbout "https://kestrel.example/deploy" deploy-silent
DLOG=$DRIVE_C/deploy-install.log
log_has "$DLOG" "Kestrel setup 5.1.0"
log_has "$DLOG" "command line: "
log_has "$DLOG" "mode: install, silent"
log_has "$DLOG" "product: E2E Deploy 3.1.4"
log_has "$DLOG" "destination: $DEPLOY_DEFAULT"
log_has "$DLOG" "file written: $DEPLOY_DEFAULT\\data\\blob.bin (200000 bytes)"
log_has "$DLOG" "uninstaller written: $DEPLOY_DEFAULT\\Uninstall E2E Deploy.exe"
log_has "$DLOG" "installation record written: $DEPLOY_DEFAULT\\Uninstall E2E Deploy.dat"
log_has "$DLOG" "registry value written: HKLM\\software\\microsoft\\windows\\currentversion\\uninstall\\E2E Deploy [QuietUninstallString] = \"$DEPLOY_DEFAULT\\Uninstall E2E Deploy.exe\" -ui deploy.exe \"/PRODUCT=E2E Deploy\" /S"
log_has "$DLOG" "service created: KestrelDeploySvc"
log_has "$DLOG" "service started: KestrelDeploySvc"
log_has "$DLOG" "shortcut: "
log_has "$DLOG" "installation complete"
log_has "$DLOG" "outcome: success, exit code 0"
quiet_uninstall deploy-unsilent
removed_checks deploy-unsilent "$DEPLOY_DEFAULT" "$DEST_DEFAULT_U"

# ---- 2. /D= with blanks, no quotes, as the last switch; the uninstall writes its own log -------
probe deploy-dest "$(win "$DPKG") /LOG=C:\\deploy-d.log /s /D=$DEPLOY_BLANKS"
expect "$WORK/deploy-dest.log" "exit=0"
windowless deploy-dest
installed_checks deploy-dest "$DEPLOY_BLANKS"
u_present "$DEST_BLANKS_U/data/blob.bin" deploy-dest
u_absent "$DEST_DEFAULT_U" deploy-dest
# the user's settings: an unattended uninstall keeps them without asking
DEPLOY_SETTINGS=$DRIVE_C/users/$(id -un)/AppData/Roaming/E2EDeployData
mkdir -p "$DEPLOY_SETTINGS" && echo "theme=dark" >"$DEPLOY_SETTINGS/settings.ini"
quiet_uninstall deploy-undest '/LOG=C:\deploy-u.log'
removed_checks deploy-undest "$DEPLOY_BLANKS" "$DEST_BLANKS_U"
u_present "$DEPLOY_SETTINGS/settings.ini" deploy-undest
ULOG=$DRIVE_C/deploy-u.log
log_has "$ULOG" "mode: uninstall, silent"
log_has "$ULOG" "service deleted: KestrelDeploySvc"
log_has "$ULOG" "product identity: E2E Deploy"
log_has "$ULOG" "files removed: "
log_has "$ULOG" "registry key removed: HKLM\\software\\microsoft\\windows\\currentversion\\uninstall\\E2E Deploy"
log_has "$ULOG" "settings folder kept: C:\\users\\$(id -un)\\AppData\\Roaming\\E2EDeployData"
log_has "$ULOG" "outcome: success, exit code 0"
rm -rf "$DEPLOY_SETTINGS"

# ---- 3. passive: the progress page only, nothing to click, closed at the end -------------------
probe deploy-passive "$(win "$DPKG") /PASSIVE"
expect "$WORK/deploy-passive.log" "progress=1"
expect "$WORK/deploy-passive.log" "exit=0"
installed_checks deploy-passive "$DEPLOY_DEFAULT"
probe deploy-unpassive "$(reg_value "$DEPLOY_KEY" UninstallString) /passive"
expect "$WORK/deploy-unpassive.log" "progress=1"
expect "$WORK/deploy-unpassive.log" "exit=0"
removed_checks deploy-unpassive "$DEPLOY_DEFAULT" "$DEST_DEFAULT_U"

# ---- 3b. /D= fills the destination page of an interactive install -----------------------------
drive deploy-prefill show "$(win "$DPKG")" '/D=D:\Some Where\Tool'
expect "$WORK/deploy-prefill.log" 'text installpath=D:\Some Where\Tool'
expect "$WORK/deploy-prefill.log" "exit=1602"

# ---- 4. an older packer's record, and one with noise in its tail: no publisher, no web page ----
for kind in old noise; do
  probe "deploy-$kind" "$(win "$PKG/deploy-$kind.exe") /S"
  expect "$WORK/deploy-$kind.log" "exit=0"
  windowless "deploy-$kind"
  expect_value "$DEPLOY_KEY" DisplayName "E2E Deploy" "deploy-$kind"
  expect_value "$DEPLOY_KEY" DisplayVersion 3.1.4 "deploy-$kind"
  no_value "$DEPLOY_KEY" Publisher "deploy-$kind"
  no_value "$DEPLOY_KEY" URLInfoAbout "deploy-$kind"
  verify "deploy-$kind-verify" installed "$PKG/deploy-$kind.exe" "$DEPLOY_DEFAULT"
  quiet_uninstall "deploy-un$kind"
  u_key absent "$DEPLOY_KEY" "deploy-un$kind"
done

# ---- 5. every failure's exit code from a real run, silent ones without any window --------------
# exit_case NAME WANT CMDLINE
exit_case() {
  probe "$1" "$3"
  expect "$WORK/$1.log" "exit=$2"
  windowless "$1"
}
exit_case deploy-x-nopackage 1603 "$(win "$PKG/stub-setup.exe") /S /LOG=C:\\deploy-x.log"
log_has "$DRIVE_C/deploy-x.log" "error: No install files attached!"
log_has "$DRIVE_C/deploy-x.log" "outcome: failed, exit code 1603"
exit_case deploy-x-corrupt 1603 "$(win "$PKG/corrupt-setup.exe") /S"
exit_case deploy-x-noinfo 1603 "$(win "$PKG/stub-setup.exe") -ui nothing.exe /S"
exit_case deploy-x-baddest 1639 "$(win "$DPKG") /S /D=relative\\folder"
exit_case deploy-x-baddest-passive 1639 "$(win "$DPKG") /PASSIVE /D=\\no drive"
# a log that cannot be made (a file stands where its folder would go): refused, nothing touched
exit_case deploy-x-badlog 1639 "$(win "$DPKG") /S /LOG=C:\\windows\\win.ini\\setup.log"
u_key absent "$DEPLOY_KEY" deploy-x-baddest
u_absent "$DEST_DEFAULT_U" deploy-x-baddest
# unknown arguments are ignored and named in the log
probe deploy-x-unknown "$(win "$PKG/stub-setup.exe") /S /QUIET --force /LOG=C:\\deploy-unknown.log"
log_has "$DRIVE_C/deploy-unknown.log" "argument ignored: /QUIET"
log_has "$DRIVE_C/deploy-unknown.log" "argument ignored: --force"

# a second setup while one runs: silent and interactive both refuse with 1618
$W "$(win "$PKG/demo-setup.exe")" >/dev/null 2>&1 &
FIRST=$!
timeout -k 5 60 $W "$WPROBE" wait KestrelForm >"$WORK/deploy-wait.log" 2>&1
expect "$WORK/deploy-wait.log" "found=1"
exit_case deploy-x-second 1618 "$(win "$DPKG") /S /LOG=C:\\deploy-second.log"
log_has "$DRIVE_C/deploy-second.log" "outcome: another setup is running, exit code 1618"
drive deploy-x-second-ui error "$(win "$PKG/licensed-setup.exe")"
expect "$WORK/deploy-x-second-ui.log" "box caption=Error"
expect "$WORK/deploy-x-second-ui.log" "box text=Another installation or uninstallation is already running. Wait until it has finished, then try again."
expect "$WORK/deploy-x-second-ui.log" "exit=1618"
# the same box at 144 DPI
$W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
drive deploy-x-second-ui144 error "$(win "$PKG/licensed-setup.exe")"
expect "$WORK/deploy-x-second-ui144.log" "exit=1618"
$W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
for png in deploy-x-second-ui deploy-x-second-ui144; do
  if [ -s "$ART/$png.png" ]; then ok; else bad "$png: no screenshot"; fi
done
timeout -k 5 30 $W "$WPROBE" close KestrelForm >/dev/null 2>&1
wait "$FIRST"
# once it has gone, the next one runs
exit_case deploy-x-after 1603 "$(win "$PKG/stub-setup.exe") /S"

echo "deployment scenarios: $(($(date +%s) - D_T0)) s"
