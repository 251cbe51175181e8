#!/usr/bin/env bash
# The uninstaller's folder guard against hostile "Path" values: the sample package is installed,
# then App Paths "Path" is set to another spelling of a folder that is not the installation's
# (a short name, a NUL inside, a trailing dot, a known folder, a folder inside the Windows
# folder, the folder above the installation, a link to the Windows folder, fullwidth letters on
# the 8-bit path) and the uninstaller is clicked through: every folder and its contents
# survive and an Error box says which folder was kept and why. Last, the recorded folder under
# its short name is deleted, as it should be.
# Sourced by uninstall_scenarios.sh (its prefix, package, helpers and counters).

GPROBE=$BIN/tests/e2e/kestrel_guardprobe.exe
if [ ! -x "$GPROBE" ]; then
  bad "guard scenarios: no $GPROBE"
  return 0
fi
G_T0=$(date +%s)

# letter-hex of a text given as UTF-8, "<NUL>" standing for a zero unit
g_hex() {
  $PY -c '
import sys
s = sys.argv[1].replace("<NUL>", "\0").encode("utf-16-le")
units = [s[i] | (s[i + 1] << 8) for i in range(0, len(s), 2)]
print("".join(chr(65 + ((u >> k) & 15)) for u in units for k in (12, 8, 4, 0)))' "$1"
}
g_present() { if [ -e "$1" ]; then ok; else bad "$2: $1 is gone"; fi; }

u_install guard
u_installed_checks guard
# made an installation of an earlier version: no identity in App Paths, the shared uninstaller
# in the Windows folder; what these runs prove is the guard of that whole-folder removal
$W reg delete "$UAPP" /v Product /f >/dev/null 2>&1
cp "$SETUP" "$UC/windows/kestrelui.exe"
G_MAIN=$($W reg query "$UAPP" /ve 2>/dev/null | sed -n 's/^ *([^)]*)  *REG_SZ  *//p' | tr -d '\r')
if [ "$G_MAIN" = "$PFW\\Kestrel Uninst\\Product\\uprod.exe" ]; then ok; else
  bad "guard: App Paths default value '$G_MAIN'"
fi
G_SHORTPF=$($W "$GPROBE" shortname 'C:\Program Files' | sed -n 's/^short=//p' | tr -d '\r')
case "$G_SHORTPF" in 'C:\'*'~'*) ok ;; *) bad "guard: short name of Program Files '$G_SHORTPF'" ;; esac
G_USER=$(id -un)
# what must survive, beside the installation: the vendor's other product, a download, the
# files of the Windows folder
mkdir -p "$UPF/Kestrel Uninst/Other" && echo keep >"$UPF/Kestrel Uninst/Other/keep.txt"
echo keep >"$UUSER/Downloads/guard-keep.txt"
ln -sfn ../../windows "$UPF/Kestrel Uninst/winlink"
G_KEEP=("$UDEST/uprod.exe" "$UDEST/data/deep/numbers.txt" "$UPF/Kestrel Uninst/Other/keep.txt"
  "$UUSER/Downloads/guard-keep.txt" "$UPF/Common Files" "$UC/windows/system32/drivers/etc/hosts"
  "$UC/windows/win.ini" "$UC/windows/kestrelui.exe" "$UC/windows/system32/kernel32.dll")
for f in "${G_KEEP[@]}"; do u_present "$f" guard; done

# g_run NAME PATH MESSAGE: "Path" set to PATH (UTF-8, <NUL> for a zero), the uninstaller
# clicked through; the Error box says MESSAGE, the run ends on its finish page, nothing is lost
g_run() {
  local name=$1 path=$2 msg=$3 f
  $W reg add "$UAPP" /ve /d "$G_MAIN" /f >/dev/null 2>&1
  $W reg add "$UAPP" /v Displayname /d "E2E Uninst" /f >/dev/null 2>&1
  $W reg add "$UAPP" /v Path /d "$(g_hex "$path")" /f >/dev/null 2>&1
  timeout -k 5 150 $W "$UDRIVER" "$ART/guard-$name" 'C:\windows\kestrelui.exe' -ui uprod.exe \
    >"$WORK/guard-$name.log" 2>&1
  local rc=$? L=$WORK/guard-$name.log
  if [ $rc -ne 0 ]; then bad "guard-$name: driver exit code $rc"; else ok; fi
  expect "$L" "box caption=Error"
  # letter case as the system resolves it: Wine keeps the given case of some components
  if grep -Fxiq -- "box text=$msg" "$L"; then ok; else bad "guard-$name: expected '$msg'"; fi
  expect "$L" "page uninstallfinishpage back=dis next=hid finish=en cancel=dis"
  expect "$L" "exit=0"
  if [ "$(grep -c '^box caption=Error' "$L")" = 1 ]; then ok; else bad "guard-$name: Error boxes"; fi
  for f in "${G_KEEP[@]}"; do g_present "$f" "guard-$name"; done
}
G_KEPT='so its files were kept.'
G_SPELL='the uninstall information names it in a form that Windows would read as another folder'
G_SYS='it is a folder of the system or holds more than this program'
g_run shortname "$G_SHORTPF" "The folder \"C:\\Program Files\" was not deleted: $G_SYS, $G_KEPT"
g_run nul 'C:\windows<NUL>' \
  "The folder \"C:\\windows[U+0000]\" was not deleted: $G_SPELL (it holds a control character), $G_KEPT"
g_run nulinside "$PFW\\Kestrel Uninst<NUL>\\Product" \
  "The folder \"$PFW\\Kestrel Uninst[U+0000]\\Product\" was not deleted: $G_SPELL (it holds a control character), $G_KEPT"
g_run trailingdot 'C:\windows.' \
  "The folder \"C:\\windows.\" was not deleted: $G_SPELL (a name in it ends with a dot or a blank), $G_KEPT"
g_run downloads "c:\\USERS\\$G_USER\\downloads" \
  "The folder \"C:\\USERS\\$G_USER\\downloads\" was not deleted: $G_SYS, $G_KEPT"
# a 32-bit uninstaller has system32 redirected to its own layer: the name is then another
# folder, not the installation's, and kept for that reason
if [ "$ARCH" = i686 ]; then
  G_DRIVERS='it is not the folder this program was installed in (it does not hold the main program that the installation recorded)'
else
  G_DRIVERS='it lies inside the Windows folder'
fi
g_run drivers 'C:\windows\system32\drivers' \
  "The folder \"C:\\windows\\system32\\drivers\" was not deleted: $G_DRIVERS, $G_KEPT"
g_run above "$PFW\\Kestrel Uninst" \
  "The folder \"$PFW\\Kestrel Uninst\" was not deleted: it is not the folder this program was installed in (it does not hold the main program that the installation recorded), $G_KEPT"
g_run link "$PFW\\Kestrel Uninst\\winlink" \
  "The folder \"$PFW\\Kestrel Uninst\\winlink\" was not deleted: $G_SYS, $G_KEPT"
g_run forwardslash "C:/$PFNAME/Kestrel Uninst/Product" \
  "The folder \"C:/$PFNAME/Kestrel Uninst/Product\" was not deleted: $G_SPELL (it holds a forward slash), $G_KEPT"
# the 8-bit calls of an old system: best fit would make the fullwidth name C:\windows
$W reg add 'HKCU\Software\Wine\AppDefaults\kestrelui.exe' /v Version /d win98 /f >/dev/null 2>&1
g_run fullwidth 'C:\ｗｉｎｄｏｗｓ' \
  "The folder \"C:\\ｗｉｎｄｏｗｓ\" was not deleted: its name cannot be passed to this system unchanged, $G_KEPT"
$W reg delete 'HKCU\Software\Wine\AppDefaults\kestrelui.exe' /f >/dev/null 2>&1
rm -f "$UPF/Kestrel Uninst/winlink"
# no folder was accepted, so no service was shown to be the product's: the installation's stay
u_svc present KestrelUnSvc1 guard
u_svc present KestrelUnSvc2 guard
u_drop_services KestrelUnSvc1 KestrelUnSvc2

# the recorded folder by another spelling of the same folder: deleted, the rest kept
$W reg add "$UAPP" /ve /d "$G_MAIN" /f >/dev/null 2>&1
$W reg add "$UAPP" /v Displayname /d "E2E Uninst" /f >/dev/null 2>&1
G_SHORTDEST=$($W "$GPROBE" shortname "$PFW\\Kestrel Uninst\\Product" |
  sed -n 's/^short=//p' | tr -d '\r')
case "$G_SHORTDEST" in *'~'*) ok ;; *) bad "guard: short name of the installation '$G_SHORTDEST'" ;; esac
$W reg add "$UAPP" /v Path /d "$(g_hex "$G_SHORTDEST")" /f >/dev/null 2>&1
timeout -k 5 150 $W "$UDRIVER" "$ART/guard-recorded" 'C:\windows\kestrelui.exe' -ui uprod.exe \
  >"$WORK/guard-recorded.log" 2>&1 || bad "guard-recorded: driver exit code $?"
L=$WORK/guard-recorded.log
if grep -q '^box caption=Error' "$L"; then bad "guard-recorded: an Error box: $(grep '^box text' "$L")"; else ok; fi
expect "$L" "page uninstallfinishpage back=dis next=hid finish=en cancel=dis"
u_absent "$UDEST" guard-recorded
g_present "$UPF/Kestrel Uninst/Other/keep.txt" guard-recorded
g_present "$UUSER/Downloads/guard-keep.txt" guard-recorded
rm -rf "$UPF/Kestrel Uninst" "$UUSER/Downloads/guard-keep.txt"
# ---- the 8-bit file calls of an old system: a fullwidth "．．＼．．＼evil.txt" in a package --------
# Best fit would hand CreateFileA "..\..\evil.txt"; the name must be refused instead. The name is
# patched into the package after packing, whatever the packer thinks of it.
G8=$WORK/g8-product
rm -rf "$G8" && mkdir -p "$G8"
cp "$BIN/tests/e2e/kestrel_product.exe" "$G8/g8prod.exe"
echo evil >"$G8/QQQQQQevil.txt"
cat >"$G8/g8.toml" <<'TOML'
displayname = "E2E Eight"
exename = "g8prod.exe"
version = "1.0"
installfolder = "Kestrel Eight"

[[files]]
source = "g8prod.exe"
[[files]]
source = "QQQQQQevil.txt"
TOML
if ASAN_OPTIONS=detect_leaks=0 "$U_PACK" build "$G8/g8.toml" -o "$PKG/g8-setup.exe" --stub "$SETUP" --classic-directory \
  --level fast >"$WORK/pack-g8.log" 2>&1 &&
  $PY "$ROOT/tests/e2e/patchpkg.py" "$PKG/g8-setup.exe" rename 1 \
    "$($PY -c 'print("\uFF0E\uFF0E\uFF3C\uFF0E\uFF0E\uFF3Cevil.txt")')"; then ok; else
  bad "guard-8bit: packing or patching failed: $(tail -n 1 "$WORK/pack-g8.log")"
fi
$W reg add 'HKCU\Software\Wine\AppDefaults\g8-setup.exe' /v Version /d win98 /f >/dev/null 2>&1
timeout -k 5 150 $W "$DRIVER" install "$ART/guard-8bit" "$(win "$PKG/g8-setup.exe")" \
  >"$WORK/guard-8bit.log" 2>&1
$W reg delete 'HKCU\Software\Wine\AppDefaults\g8-setup.exe' /f >/dev/null 2>&1
L=$WORK/guard-8bit.log
expect "$L" "box caption=Error"
expect_prefix "$L" "(Unable to create file ("  # the name refused, not turned into "..\..\"
G8_OUT=$(find "$UC" -maxdepth 3 -name '*evil.txt' 2>/dev/null)
if [ -z "$G8_OUT" ]; then ok; else bad "guard-8bit: written: $G8_OUT"; fi
# an old system has no 32-bit layer: even the 32-bit build installs into "Program Files" there
if grep -qi 'installpath=C:\\Program Files\\Kestrel Eight' "$L"; then ok; else
  bad "guard-8bit: destination not in Program Files: $(grep -m1 installpath= "$L")"
fi
# the refused install is undone: the file written before the refused name is gone again
u_absent "$UC/Program Files/Kestrel Eight/g8prod.exe" guard-8bit
rm -rf "$UC/Program Files/Kestrel Eight"

echo "guard scenarios: $(($(date +%s) - G_T0)) s"
