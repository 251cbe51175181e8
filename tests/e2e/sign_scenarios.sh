# Signed setup files end to end: sourced by run.sh (its prefix, server, helpers and counters).
# A throw-away certificate authority and signer are made here with openssl; osslsigncode signs
# (through kestrel-pack --sign, and by hand) and checks the signatures.
S_T0=$(date +%s)
if [ -z "${PACK:-}" ] || ! command -v osslsigncode >/dev/null || ! command -v openssl >/dev/null; then
  echo "skipped: signing scenarios need kestrel-pack, openssl and osslsigncode"
  return 0
fi
# s_install NAME EXE: the plain install walk; s_refused NAME EXE: the damaged-file refusal
s_refused() {
  local name=$1 exe=$2 L=$WORK/$1.log
  drive "$name" error "$(win "$exe")"
  expect "$L" "box caption=Error"
  expect "$L" "box text=The setup file is damaged and should be downloaded again."
  expect "$L" "wizard visible=0"
  expect "$L" "exit=1603"
  if ASAN_OPTIONS=detect_leaks=0 "$PACK" verify "$exe" >"$WORK/$name-verify.log" 2>&1; then
    bad "$name: kestrel-pack verify passed a damaged file"
  else
    ok
  fi
  expect_prefix "$WORK/$name-verify.log" "The setup file is damaged and should be downloaded again."
}
S_DEST='C:\Program Files\Kestrel E2E\Three'
S_DIR="$PF/Kestrel E2E/Three"
s_clean() {  # nothing of the three-file product on the system
  $W reg delete 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\readme.txt' /f >/dev/null 2>&1
  $W reg delete 'HKLM\software\microsoft\windows\currentversion\uninstall\E2E Three' /f >/dev/null 2>&1
  rm -rf "$S_DIR" "$UNINSTALLER" "$DRIVE_C/users/$(id -un)/Desktop/E2E Three.lnk"
}

# ---- 40. kestrel-pack --sign with both stubs: the signatures verify -----------------------
packit "$SRC/app/three.toml" "$PKG/signed-three.exe" "${SIGN_PEM_ARGS[@]}"
if signature_ok "$PKG/signed-three.exe"; then ok; else bad "signed-three: $(tail -n 2 "$PKG/signed-three.exe.verify.log" | tr '\n' ' ')"; fi
# the package ends on an 8-byte boundary, so the table follows the record directly
read -r s_addr s_size < <($PY "$ROOT/tests/e2e/patchpkg.py" "$PKG/signed-three.exe" certentry)
check_eq "signed-three: table behind the record" "$((s_addr % 8)):$((s_addr + s_size))" "0:$(stat -c %s "$PKG/signed-three.exe")"
if ASAN_OPTIONS=detect_leaks=0 "$PACK" verify "$PKG/signed-three.exe" >"$WORK/signed-three-verify.log" 2>&1; then ok; else bad "signed-three: kestrel-pack verify failed"; fi
expect "$WORK/signed-three-verify.log" "ok   package checksum"
STUB32=$ROOT/build/win32/setup/setup.exe
if [ -f "$STUB32" ]; then
  if ASAN_OPTIONS=detect_leaks=0 "$PACK" build "$SRC/app/three.toml" -o "$PKG/signed-three-i686.exe" \
    --stub "$STUB32" --level fast "${SIGN_P12_ARGS[@]}" >"$WORK/pack-signed-i686.log" 2>&1; then ok; else
    bad "packing with the i686 stub: $(tail -n 1 "$WORK/pack-signed-i686.log")"
  fi
  if signature_ok "$PKG/signed-three-i686.exe"; then ok; else bad "signed-three-i686: $(tail -n 2 "$PKG/signed-three-i686.exe.verify.log" | tr '\n' ' ')"; fi
  if ASAN_OPTIONS=detect_leaks=0 "$PACK" verify "$PKG/signed-three-i686.exe" >/dev/null 2>&1; then ok; else bad "signed-three-i686: kestrel-pack verify failed"; fi
  # its uninstaller copy, made as the engine makes it, verifies too (the x86_64 build's copy is
  # written by a real installation below)
  $PY "$ROOT/tests/e2e/patchpkg.py" "$PKG/signed-three-i686.exe" uninstcopy "$WORK/kestrelui-i686.exe"
  if signature_ok "$WORK/kestrelui-i686.exe"; then ok; else bad "the i686 uninstaller copy: $(tail -n 2 "$WORK/kestrelui-i686.exe.verify.log" | tr '\n' ' ')"; fi
else
  echo "skipped: no i686 build in build/win32 (cmake --build --preset win32) for the 32-bit signing check"
fi

# ---- 41. a signed installation: installs like the unsigned one; its uninstaller is signed --
s_clean
install signed-install "$PKG/signed-three.exe"
expect "$WORK/signed-install.log" "page finishpage back=dis next=hid finish=en cancel=dis"
expect "$WORK/signed-install.log" "exit=0"
verify signed-install-verify installed "$PKG/signed-three.exe" "$S_DEST"
expect "$WORK/signed-install-verify.log" "uninstaller copy: the stub's signature restored"
S_UNINST="$S_DIR/Uninstall E2E Three.exe"  # the product's own uninstaller
if signature_ok "$S_UNINST"; then ok; else bad "the uninstaller of a signed install: $(tail -n 2 "$S_UNINST.verify.log" | tr '\n' ' ')"; fi
for f in product.exe readme.txt docs/guide.txt; do  # all three in the installation folder
  if cmp -s "$SRC/app/$f" "$S_DIR/$(basename "$f")"; then ok; else bad "signed-install: $f differs"; fi
done

# ---- 41b. the signed i686 installer under Wine's 32-bit layer, where the machine has one -----
PROBE32=$ROOT/build/win32/tests/e2e/kestrel_helperprobe.exe
# (a kernel that runs 32-bit programs is not enough: without wine32 a console probe may start
# while the wizard cannot)
if [ -f "$PKG/signed-three-i686.exe" ] && [ -f "$PROBE32" ] && "$ROOT/scripts/can-run-32bit" --wine &&
  timeout -k 5 60 /usr/bin/wine "$PROBE32" folders >"$WORK/probe32.log" 2>&1; then
  s_clean
  install signed-i686 "$PKG/signed-three-i686.exe"
  expect "$WORK/signed-i686.log" "page finishpage back=dis next=hid finish=en cancel=dis"
  expect "$WORK/signed-i686.log" "exit=0"
  # a 32-bit program's Program Files folder
  S_DIR32="$DRIVE_C/Program Files (x86)/Kestrel E2E/Three"
  if cmp -s "$SRC/app/product.exe" "$S_DIR32/product.exe"; then ok; else bad "signed-i686: product.exe differs"; fi
  if signature_ok "$S_DIR32/Uninstall E2E Three.exe"; then ok; else bad "the uninstaller of the i686 install: $(tail -n 2 "$S_DIR32/Uninstall E2E Three.exe.verify.log" | tr '\n' ' ')"; fi
  $W reg delete 'HKLM\SOFTWARE\Wow6432Node\Microsoft\Windows\CurrentVersion\App Paths\readme.txt' /f >/dev/null 2>&1
  $W reg delete 'HKLM\software\Wow6432Node\microsoft\windows\currentversion\uninstall\E2E Three' /f >/dev/null 2>&1
  rm -rf "$S_DIR32"
else
  echo "skipped: the signed i686 installer under Wine (no 32-bit layer, or no i686 build)"
fi

# ---- 42. signed by hand after an unsigned build: installs; the copy is a clean program -----
s_clean
osslsigncode sign -pkcs12 "$CERTS/signer.p12" -readpass "$CERTS/password.txt" -h sha256 \
  -in "$PKG/three-setup.exe" -out "$PKG/handsigned-three.exe" >"$WORK/handsign.log" 2>&1
if signature_ok "$PKG/handsigned-three.exe"; then ok; else bad "hand-signed: $(tail -n 1 "$WORK/handsign.log")"; fi
install handsigned "$PKG/handsigned-three.exe"
expect "$WORK/handsigned.log" "exit=0"
verify handsigned-verify installed "$PKG/handsigned-three.exe" "$S_DEST"
expect "$WORK/handsigned-verify.log" "uninstaller copy: a foreign certificate entry cleared"
check_eq "hand-signed: the copy's certificate entry" "$($PY "$ROOT/tests/e2e/patchpkg.py" "$S_UNINST" certentry 2>/dev/null)" "0 0"

# ---- 43. a damaged and a cut-short download: refused before any page, nothing written ------
s_clean
cp "$PKG/signed-three.exe" "$PKG/flipped-three.exe"
$PY "$ROOT/tests/e2e/patchpkg.py" "$PKG/flipped-three.exe" flip 5000
s_refused flipped "$PKG/flipped-three.exe"
for cut in 3072 6000; do
  cp "$PKG/signed-three.exe" "$PKG/cut$cut-three.exe"
  $PY "$ROOT/tests/e2e/patchpkg.py" "$PKG/cut$cut-three.exe" cut $cut
  s_refused "cut$cut" "$PKG/cut$cut-three.exe"
done
# the unsigned package with a flipped byte likewise
cp "$PKG/three-setup.exe" "$PKG/flipped-plain.exe"
$PY "$ROOT/tests/e2e/patchpkg.py" "$PKG/flipped-plain.exe" flip 100
s_refused flipped-plain "$PKG/flipped-plain.exe"
absent_file "$S_DIR"
absent_file "$UNINSTALLER"
verify damaged-absent absent "$PKG/three-setup.exe" "$S_DEST"

echo "signing scenarios: $(($(date +%s) - S_T0)) s"
