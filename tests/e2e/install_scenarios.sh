# Installations end to end: sourced by run.sh, with its prefix, server, helpers and counters.
# Packages are built by kestrel-pack from a product tree made here; results are checked from
# Linux (files, bytes) and by kestrel_verify inside the prefix (registry rows value for value,
# services, shortcuts read back, the uninstaller copy).

VERIFY=$BIN/tests/e2e/kestrel_verify.exe PRODUCT=$BIN/tests/e2e/kestrel_product.exe
PATCH="$PY $ROOT/tests/e2e/patchpkg.py"
DRIVE_C=$WINEPREFIX/drive_c
UNINSTALLER=$DRIVE_C/windows/kestrelui.exe  # the shared copy earlier versions made: never made now
# install NAME EXE: the driver's install walk (options in KDRV_* variables), log in $WORK/NAME.log
install() {
  local name=$1 exe=$2
  timeout -k 5 150 $W "$DRIVER" install "$ART/$name" "$(win "$exe")" >"$WORK/$name.log" 2>&1
  local rc=$?
  if [ $rc -ne 0 ]; then bad "$name: driver exit code $rc"; else ok; fi
}
verify() {  # verify NAME installed|absent EXE DEST
  timeout -k 5 60 $W "$VERIFY" "$2" "$(win "$3")" "$4" >"$WORK/$1.log" 2>&1
  if [ $? -eq 0 ]; then ok; else bad "$1: $(grep -c '^BAD' "$WORK/$1.log") bad checks (see $WORK/$1.log)"; fi
}
absent_file() { if [ -e "$1" ]; then bad "$1 should not exist"; else ok; fi; }
present_file() { if [ -e "$1" ]; then ok; else bad "$1 missing"; fi; }
PACK=$PACKER
if [ -z "$PACK" ]; then
  echo "skipped: install scenarios need kestrel-pack"
  return 0
fi

# ---- the product tree and its packages -------------------------------------------------
SRC=$WORK/product
rm -rf "$SRC"
mkdir -p "$SRC/app/svc" "$SRC/app/data/deep/er" "$SRC/app/docs" "$SRC/big"
cp "$PRODUCT" "$SRC/app/product.exe"
cp "$BIN/tests/e2e/kestrel_testsvc.exe" "$SRC/app/svc/svc1.exe"
cp "$BIN/tests/e2e/kestrel_testsvc.exe" "$SRC/app/svc/svc2.exe"
printf 'E2E Product\r\nRead me.\r\n' >"$SRC/app/readme.txt"
printf 'E2E Product licence\nUse it well.\n' >"$SRC/app/licence.txt"
head -c 300000 /dev/urandom >"$SRC/app/data/deep/er/random.bin"
seq 1 20000 >"$SRC/app/data/numbers.txt"
echo "guide" >"$SRC/app/docs/guide.txt"
echo "hidden" >"$SRC/app/hidden.dat"
: >"$SRC/app/data/empty.txt"
for i in 1 2 3 4 5 6; do head -c 16000000 /dev/urandom >"$SRC/big/part$i.bin"; done

cat >"$SRC/app/full.toml" <<'EOF'
displayname = "E2E Product"
exename = "product.exe"
version = "1.2"
installfolder = "Kestrel E2E\\Product"
programgroup = "Kestrel E2E\\Product"
appdatafolder = "E2EProductData"
licence = "licence.txt"

[[services]]
file = "svc/svc1.exe"
name = "KestrelE2ESvc1"

[[services]]
file = "svc/svc2.exe"
name = "KestrelE2ESvc2"

[[shortcuts]]
target = "product.exe"
arguments = "-safe -log"
caption = "E2E Product (safe mode)"

[[shortcuts]]
target = "readme.txt"
caption = "E2E Product readme"

[association]
extension = ".e2edoc"
class = "Brimlow.MXA"
description = "E2E document"
program = "product.exe"

[[files]]
source = "product.exe"

[[files]]
source = "readme.txt"
attributes = ["archive"]

[[files]]
source = "svc"
subfolder = "svc"

[[files]]
source = "data"
subfolder = "data"

[[files]]
source = "docs/guide.txt"
subfolder = "docs"
attributes = ["readonly", "archive"]

[[files]]
source = "hidden.dat"
attributes = ["hidden", "archive"]
EOF
# three small files, for the failure cases
cat >"$SRC/app/three.toml" <<'EOF'
displayname = "E2E Three"
exename = "readme.txt"
installfolder = "Kestrel E2E\\Three"
[[files]]
source = "product.exe"
[[files]]
source = "readme.txt"
[[files]]
source = "docs/guide.txt"
EOF
cat >"$SRC/big/big.toml" <<'EOF'
displayname = "E2E Big"
exename = "part1.bin"
installfolder = "Kestrel E2E\\Big"
[[files]]
source = "*.bin"
EOF
# the packer refuses a main program that is not packed: the package gets it, and the directory
# is then patched to hold no file, as a package of an older packer could
printf 'MZ' >"$SRC/app/empty.exe"
cat >"$SRC/app/empty.toml" <<'EOF'
displayname = "E2E Empty"
exename = "empty.exe"
installfolder = "Kestrel E2E\\Empty"
[[files]]
source = "empty.exe"
EOF
packit() {  # packit MANIFEST OUT [ARGS...]
  local m=$1 o=$2
  shift 2
  if ASAN_OPTIONS=detect_leaks=0 "$PACK" build "$m" -o "$o" --stub "$SETUP" --level fast "$@" \
    ${PACK_SIGN[@]+"${PACK_SIGN[@]}"} >"$WORK/pack-$(basename "$o").log" 2>&1; then ok; else bad "packing $o: $(tail -n 1 "$WORK/pack-$(basename "$o").log")"; fi
  signed_check "packit" "$o"
}
packit "$SRC/app/full.toml" "$PKG/full-setup.exe"
packit "$SRC/app/three.toml" "$PKG/three-setup.exe"
packit "$SRC/big/big.toml" "$PKG/big-setup.exe"
packit "$SRC/app/empty.toml" "$PKG/empty-setup.exe" --classic-directory
$PATCH "$PKG/empty-setup.exe" filecount 0
# the damaged packages are patched through the classic directory's records
packit "$SRC/app/three.toml" "$PKG/three-classic-setup.exe" --classic-directory
cp "$PKG/three-classic-setup.exe" "$PKG/corrupt-setup.exe" && $PATCH "$PKG/corrupt-setup.exe" marker 1
cp "$PKG/three-classic-setup.exe" "$PKG/readfail-setup.exe" && $PATCH "$PKG/readfail-setup.exe" readfail 1
cp "$PKG/three-classic-setup.exe" "$PKG/openfail-setup.exe" && $PATCH "$PKG/openfail-setup.exe" filecount 100000
for dev in nul.txt COM1.log aux; do
  cp "$PKG/three-classic-setup.exe" "$PKG/device-$dev-setup.exe" && $PATCH "$PKG/device-$dev-setup.exe" rename 0 "$dev"
done
head -c 16 /dev/urandom >"$WORK/key.bin"
packit "$SRC/app/three.toml" "$PKG/locked-setup.exe" --key-file "$WORK/key.bin"

PF="$DRIVE_C/$PFNAME"
FULL_DEST="$PFW\\Kestrel E2E\\Product"
ti=$(date +%s)

# ---- 21. the full installation --------------------------------------------------------
# a running copy of the product is asked to close first
mkdir -p "$DRIVE_C/running"
cp "$PRODUCT" "$DRIVE_C/running/product.exe"
(cd "$DRIVE_C/running" && $W product.exe >/dev/null 2>&1 &)
for _ in $(seq 1 50); do [ -e "$DRIVE_C/running/launched.txt" ] && break; sleep 0.1; done
KDRV_NAV=1 KDRV_LICENCE=1 KDRV_LAUNCH=1 KDRV_README=1 install full "$PKG/full-setup.exe"
L=$WORK/full.log
# the button table, page by page, while walking Back and Next
expect "$L" "page welcomepage back=dis next=en finish=hid cancel=en"
expect "$L" "page licensepage back=en next=dis finish=hid cancel=en"
expect "$L" "agree=1"
expect "$L" "page licensepage back=en next=en finish=hid cancel=en"
expect "$L" "agree=0"
expect "$L" "refused next"
expect "$L" "page destinationpage back=en next=en finish=hid cancel=en"
grep '^page \|^click \|^refused \|^agree=' "$L" >"$WORK/full-nav.txt"
cat >"$WORK/full-nav.want" <<'EOF'
page welcomepage back=dis next=en finish=hid cancel=en
page welcomepage back=dis next=en finish=hid cancel=en
click next
page licensepage back=en next=dis finish=hid cancel=en
click agree
agree=1
page licensepage back=en next=en finish=hid cancel=en
click agree
agree=0
page licensepage back=en next=dis finish=hid cancel=en
refused next
click back
page welcomepage back=dis next=en finish=hid cancel=en
click next
page licensepage back=en next=dis finish=hid cancel=en
click agree
click next
page destinationpage back=en next=en finish=hid cancel=en
click back
page licensepage back=en next=en finish=hid cancel=en
click next
page destinationpage back=en next=en finish=hid cancel=en
page destinationpage back=en next=en finish=hid cancel=en
click next
EOF
n=$(wc -l <"$WORK/full-nav.want")
if head -n "$n" "$WORK/full-nav.txt" | diff -q - "$WORK/full-nav.want" >/dev/null; then ok; else
  bad "full: navigation differs: $(head -n "$n" "$WORK/full-nav.txt" | diff - "$WORK/full-nav.want" | head -n 4 | tr '\n' ' ')"
fi
expect "$L" "installpath=$FULL_DEST"
expect "$L" "page installingpage back=dis next=dis finish=hid cancel=en"
expect "$L" "page finishpage back=dis next=hid finish=en cancel=dis"
expect "$L" "text finishlabel=E2E Product was successfully installed on your computer."
expect "$L" "progress 100"
expect "$L" "launch=1"
expect "$L" "readme=1"
expect "$L" "exit=0"
# the bar only moves forward
if grep '^progress ' "$L" | awk '{ if ($2 < last) exit 1; last = $2 }'; then ok; else bad "full: the bar went back"; fi
# it handled the close request (and ended: its handler destroys the window)
present_file "$DRIVE_C/running/closed.txt"
for f in product.exe readme.txt svc/svc1.exe svc/svc2.exe data/deep/er/random.bin data/numbers.txt \
  data/empty.txt docs/guide.txt hidden.dat; do
  if cmp -s "$SRC/app/$f" "$PF/Kestrel E2E/Product/$f"; then ok; else bad "full: $f differs"; fi
done
absent_file "$PF/Kestrel E2E/Product/full.toml"
# the product was started by Finish, in the installer's folder, without arguments
for _ in $(seq 1 50); do [ -e "$PF/Kestrel E2E/Product/launched.txt" ] && break; sleep 0.1; done
LAUNCHED="$PF/Kestrel E2E/Product/launched.txt"
if grep -q '^cmdline=.*product.exe"\?$' "$LAUNCHED" 2>/dev/null; then ok; else bad "full: launch command line: $(head -n 1 "$LAUNCHED" 2>/dev/null)"; fi
if grep -qi '^cwd=Z:\\' "$LAUNCHED" 2>/dev/null; then ok; else bad "full: launched in $(grep cwd "$LAUNCHED" 2>/dev/null)"; fi
if grep -q '^show=5' "$LAUNCHED" 2>/dev/null; then ok; else bad "full: show command $(grep show= "$LAUNCHED" 2>/dev/null)"; fi
# the readme opened with its program
found=0
for _ in $(seq 1 30); do
  helper readmewin findwindow '*readme*'
  if ! grep -q -- '-> <none>' "$WORK/readmewin.log"; then found=1; break; fi
  sleep 0.2
done
check_eq "readme window" "$found" 1
verify full-verify installed "$PKG/full-setup.exe" "$FULL_DEST"
signed_check "full: its uninstaller" "$PF/Kestrel E2E/Product/Uninstall E2E Product.exe"
absent_file "$UNINSTALLER"  # no shared uninstaller is made
expect "$WORK/full-verify.log" "view $([ "$ARCH" = i686 ] && echo '32-bit installer on 64-bit Windows' || echo native)"
if $W uninstaller --list 2>/dev/null | tr -d '\r' | grep -Fxq 'E2E Product|||E2E Product'; then ok; else
  bad "full: not in the installed-programs list"
fi
$W taskkill /f /im product.exe >/dev/null 2>&1
$W taskkill /f /im notepad.exe >/dev/null 2>&1

# ---- 22. installed again: the earlier services are stopped and deleted first; Cancel answered No
KDRV_CANCEL=no KDRV_CANCEL_AT=0 install again "$PKG/full-setup.exe"
L=$WORK/again.log
expect "$L" "box caption=Warning"
expect "$L" "box text=Are you sure you want to cancel this installation?"
expect "$L" "after no installingpage cancel=en"
expect "$L" "page finishpage back=dis next=hid finish=en cancel=dis"
expect "$L" "exit=0"
verify again-verify installed "$PKG/full-setup.exe" "$FULL_DEST"

# ---- 23. a package without a licence: Back and Next; Cancel answered No mid-extraction ----
KDRV_NAV=1 KDRV_CANCEL=no KDRV_CANCEL_AT=1 install big "$PKG/big-setup.exe"
L=$WORK/big.log
grep '^page \|^click \|^refused ' "$L" | head -n 9 >"$WORK/big-nav.txt"
cat >"$WORK/big-nav.want" <<'EOF'
page welcomepage back=dis next=en finish=hid cancel=en
page welcomepage back=dis next=en finish=hid cancel=en
click next
page destinationpage back=en next=en finish=hid cancel=en
click back
page welcomepage back=dis next=en finish=hid cancel=en
click next
page destinationpage back=en next=en finish=hid cancel=en
page destinationpage back=en next=en finish=hid cancel=en
EOF
if diff -q "$WORK/big-nav.txt" "$WORK/big-nav.want" >/dev/null; then ok; else
  bad "big: navigation differs: $(diff "$WORK/big-nav.txt" "$WORK/big-nav.want" | head -n 4 | tr '\n' ' ')"
fi
expect_prefix "$L" "held yes"
expect "$L" "after no installingpage cancel=en"
expect "$L" "page finishpage back=dis next=hid finish=en cancel=dis"
expect "$L" "exit=0"
for i in 1 2 3 4 5 6; do
  if cmp -s "$SRC/big/part$i.bin" "$PF/Kestrel E2E/Big/part$i.bin"; then ok; else bad "big: part$i differs"; fi
done

# ---- 24. Cancel answered Yes mid-extraction: the program ends, nothing is registered ------
$W reg delete 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\part1.bin' /f >/dev/null 2>&1
$W reg delete "$UNKEYS\\E2E Big" /f >/dev/null 2>&1
rm -f "$UNINSTALLER" "$DRIVE_C/users/$(id -un)/Desktop/E2E Big.lnk"
rm -rf "$PF/Kestrel E2E/Big"
KDRV_CANCEL=yes KDRV_CANCEL_AT=1 install cancel "$PKG/big-setup.exe"
L=$WORK/cancel.log
expect "$L" "box text=Are you sure you want to cancel this installation?"
expect_prefix "$L" "held yes"
expect "$L" "wizard closed=1"
expect "$L" "exit=1602"
verify cancel-absent absent "$PKG/big-setup.exe" "$PFW\\Kestrel E2E\\Big"
# files already written stay; the one in hand was finished before the program ended
n=0
for i in 1 2 3 4 5 6; do
  f="$PF/Kestrel E2E/Big/part$i.bin"
  [ -e "$f" ] || continue
  n=$((n + 1))
  if cmp -s "$SRC/big/part$i.bin" "$f"; then ok; else bad "cancel: part$i.bin left incomplete"; fi
done
if [ "$n" -lt 6 ]; then ok; else bad "cancel: every file was extracted, the cancel came too late"; fi
echo "cancel: $n of 6 files extracted before the cancel" >>"$WORK/cancel.log"

# ---- 25. the second of three files is corrupt --------------------------------------------
rm -f "$UNINSTALLER"
install corrupt "$PKG/corrupt-setup.exe"
L=$WORK/corrupt.log
expect "$L" "box caption=Error"
expect "$L" "box text=An error occurred during the installation process. (File corrupt)"
expect "$L" "exit=1603"
present_file "$PF/Kestrel E2E/Three/product.exe"
absent_file "$PF/Kestrel E2E/Three/docs/guide.txt"
verify corrupt-absent absent "$PKG/corrupt-setup.exe" "$PFW\\Kestrel E2E\\Three"

# ---- 26. a package read failure: the page says so and Cancel leaves -----------------------
rm -rf "$PF/Kestrel E2E/Three"
KDRV_CANCEL=stopped install readfail "$PKG/readfail-setup.exe"
L=$WORK/readfail.log
expect "$L" "stopped title=Installation Stopped"
expect "$L" "stopped text=Could not read from MXA file.  Perhaps another file is writing to it. Click 'Cancel' to exit."
expect "$L" "page installingpage back=dis next=dis finish=hid cancel=en"
expect "$L" "wizard closed=1"
expect "$L" "exit=1603"
present_file "$PF/Kestrel E2E/Three/product.exe"
verify readfail-absent absent "$PKG/readfail-setup.exe" "$PFW\\Kestrel E2E\\Three"

# ---- 27. the directory cannot be read: two boxes, nothing installed ------------------------
rm -rf "$PF/Kestrel E2E/Three"
install openfail "$PKG/openfail-setup.exe"
L=$WORK/openfail.log
expect "$L" "box text=Problem accessing setup data. ()"
expect "$L" "box text=An error occurred during the installation process. (Problem accessing setup data. Nothing was installed.)"
expect "$L" "exit=1603"
absent_file "$PF/Kestrel E2E/Three"

# ---- 28. a package enciphered with a raw key: refused before any page is shown -------------
drive locked error "$(win "$PKG/locked-setup.exe")"
L=$WORK/locked.log
expect "$L" "box caption=Error"
expect "$L" "box text=The package is enciphered without password data, so this setup program cannot open it"
expect "$L" "wizard visible=0"
expect "$L" "exit=1603"
absent_file "$PF/Kestrel E2E/Three"

# ---- 29. a package without files still registers and reaches the finish page -----------
# (left by the window's close request: installed all the same, so no cancel)
KDRV_FINISH=close install empty "$PKG/empty-setup.exe"
L=$WORK/empty.log
expect "$L" "page finishpage back=dis next=hid finish=en cancel=dis"
expect "$L" "exit=0"
if grep '^progress ' "$L" | tail -n 1 | grep -qx 'progress 100'; then ok; else bad "empty: the bar did not reach 100"; fi
verify empty-verify installed "$PKG/empty-setup.exe" "$PFW\\Kestrel E2E\\Empty"

# ---- 30. reserved device names: refused before anything is made, never "installed" ----------
for dev in nul.txt COM1.log aux; do
  rm -rf "$PF/Kestrel E2E/Three"
  install "device-$dev" "$PKG/device-$dev-setup.exe"
  L=$WORK/device-$dev.log
  expect "$L" "box text=An error occurred during the installation process. (Unsafe path in package ($dev))"
  expect "$L" "exit=1603"
  absent_file "$PF/Kestrel E2E/Three"
done

echo "install scenarios: $(($(date +%s) - ti)) s"
