# The wizard in the user's language: a product named in Greek, installed into a folder named in
# Japanese, by the wizard in German (/LANG=de), Japanese (the user's interface language) and
# Arabic (/LANG=ar, mirrored), each page (the choice of users too) captured at 96 and 144 DPI;
# its uninstaller speaks the language the install spoke. Sourced by run.sh.
PACKER=${PACKER:-${KESTREL_PACK:-}}
for c in "$ROOT/build/host/pack/kestrel-pack" "$ROOT/build/host-san/pack/kestrel-pack"; do
  if [ -z "$PACKER" ] && [ -x "$c" ]; then PACKER=$c; fi
done
if [ -z "$PACKER" ]; then
  echo "skipped: language scenarios need kestrel-pack"
  return 0
fi
DRIVE_C=$WINEPREFIX/drive_c
UDRIVER=$BIN/tests/e2e/kestrel_uninstdriver.exe
LSRC=$WORK/langproduct
rm -rf "$LSRC"
mkdir -p "$LSRC/app"
cp "$BIN/tests/e2e/kestrel_product.exe" "$LSRC/app/notes.exe"
printf 'Σημειώσεις\r\n' >"$LSRC/app/readme.txt"
# the vendor's side picture, twice the size the wizard shows at 96 DPI: red above, green below
/usr/bin/convert -size 262x606 xc:'rgb(200,40,30)' -fill 'rgb(30,160,60)' \
  -draw 'rectangle 0,303 262,606' "$LSRC/side.jpg"
cat >"$LSRC/lang.toml" <<'TOML'
image = "side.jpg"
displayname = "Σημειώσεις Acme"
exename = "notes.exe"
version = "2.4"
installfolder = "アクメ\\ノート"
programgroup = "Σημειώσεις Acme"
languages = ["de", "ja", "ar"]
brand = "Acme Setup"
scope = "either"

[[files]]
source = "app"
TOML
ASAN_OPTIONS=detect_leaks=0 "$PACKER" build "$LSRC/lang.toml" -o "$PKG/lang-setup.exe" --stub "$SETUP" "${PACK_SIGN[@]}" \
  >"$WORK/lang-pack.log" 2>&1 || {
  bad "lang: packing failed: $(tail -n 1 "$WORK/lang-pack.log")"
  return 0
}
LANG_DEST="$DRIVE_C/$PFNAME/アクメ/ノート"

script_fonts

# lang_install NAME ENVIRONMENT... -- ARGS...: the driver's walk with every page's texts
lang_install() {
  local name=$1
  shift
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  env "${envs[@]}" KDRV_TEXTS=1 KDRV_FINISH=finish KDRV_SCOPE=all timeout -k 5 150 $W "$DRIVER" install \
    "$ART/$name" "$(win "$PKG/lang-setup.exe")" "$@" >"$WORK/$name.log" 2>&1
  local rc=$?
  if [ $rc -ne 0 ]; then bad "$name: driver exit code $rc"; else ok; fi
  if [ -e "$LANG_DEST/notes.exe" ]; then ok; else bad "$name: nothing in the Japanese folder"; fi
  local s
  for s in welcome scope scope-all destination finish; do
    if [ -s "$ART/$name-$s.png" ]; then ok; else bad "$name: no screenshot $s"; fi
  done
  # the links are named as the product is, in Greek (the main program's and the uninstaller's,
  # which is named in the install's language), and the uninstall entry's DisplayName reads so
  local links
  links=$(find "$DRIVE_C" -path '*/Σημειώσεις Acme/*Σημειώσεις Acme*.lnk' 2>/dev/null | wc -l)
  if [ "$links" -ge 2 ]; then ok; else bad "$name: $links links named in Greek in the group"; fi
  links=$(find "$DRIVE_C/users" -path '*/Desktop/*Σημειώσεις Acme*.lnk' 2>/dev/null | wc -l)
  if [ "$links" -ge 1 ]; then ok; else bad "$name: no desktop link named in Greek"; fi
  # exported, as reg's console output passes the console's code page
  rm -f "$WORK/$name-uninstall.reg"
  $W reg export 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' \
    "$(win "$WORK/$name-uninstall.reg")" /y >/dev/null 2>&1
  if iconv -f UTF-16LE -t UTF-8 "$WORK/$name-uninstall.reg" 2>/dev/null | tr -d '\r' |
    grep -qx '"DisplayName"="Σημειώσεις Acme"'; then
    ok
  else
    bad "$name: no uninstall entry's DisplayName reads \"Σημειώσεις Acme\""
  fi
  # the next run installs afresh: the product's own uninstaller, as its entry runs it, quietly
  # or (with UNWIZ set, its extra arguments in it) through its wizard, which speaks the language
  # the install spoke
  local un id
  for un in "$LANG_DEST"/Uninstall*.exe; do
    [ -e "$un" ] || continue
    id=${un##*/Uninstall }
    if [ -n "${UNWIZ+set}" ]; then
      timeout -k 5 150 $W "$UDRIVER" "$ART/$name-uninst" "$(win "$un")" -ui notes.exe \
        "/PRODUCT=${id%.exe}" $UNWIZ >"$WORK/$name-uninst.log" 2>&1 || bad "$name: uninstall driver failed"
      expect "$WORK/$name-uninst.log" "exit=0"
    else
      timeout -k 5 60 $W "$un" -ui notes.exe "/PRODUCT=${id%.exe}" /S >/dev/null 2>&1
    fi
  done
  if [ -e "$LANG_DEST/notes.exe" ]; then bad "$name: the uninstall left the product"; else ok; fi
}



for dpi in 96 144; do
  if [ $dpi = 144 ]; then
    $W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
  fi
  UNWIZ= lang_install "lang-de-$dpi" -- /LANG=de
  L=$WORK/lang-de-$dpi-uninst.log
  expect "$L" "caption=Σημειώσεις Acme Deinstallation - Acme Setup"
  expect "$L" "text welcometitle=Willkommen bei der Deinstallation von Σημειώσεις Acme!"
  expect "$L" "text uninstallfinishtitle=Deinstallation abgeschlossen!"
  L=$WORK/lang-de-$dpi.log
  expect "$L" "welcome caption=Σημειώσεις Acme Setup - Acme Setup"
  expect "$L" "welcome mirrored=0"
  expect "$L" "welcome text welcometitle2=Setup-Assistenten von Σημειώσεις Acme!"
  expect "$L" "welcome text next=&Weiter  >"
  expect "$L" "destination text installpathlabel=Σημειώσεις Acme installieren in:"
  expect "$L" "installpath=$PFW\\アクメ\\ノート"
  expect "$L" "text finishlabel=Σημειώσεις Acme wurde erfolgreich auf Ihrem Computer installiert."

  # the vendor's picture, scaled to the side of the page: red in its upper half, green below
  # (its top-left corner in the screenshot: 13,31 at 96 DPI, 18,45 at 144)
  s=100 x=13 y=31
  [ $dpi = 144 ] && s=150 x=18 y=45
  # (and its uninstaller's, which the install record keeps)
  for shot in welcome uninst-welcome; do
    for at in "20 40 red" "100 80 red" "20 240 green" "100 290 green"; do
      set -- $at
      p=$(pixel "$ART/lang-de-$dpi-$shot.png" $((x + $1 * s / 100)) $((y + $2 * s / 100)))
      case "$3:$p" in
        red:srgb\(19[0-9],[3-4][0-9],[2-3][0-9]\) | red:srgb\(20[0-9],[3-4][0-9],[2-3][0-9]\)) ok ;;
        green:srgb\([2-3][0-9],1[5-6][0-9],[5-6][0-9]\)) ok ;;
        *) bad "lang-de-$dpi-$shot: the vendor's picture at $1,$2: $p, want $3" ;;
      esac
    done
  done

  # /LANG= given to the uninstaller wins over the install's language; the brand stays
  if [ $dpi = 96 ]; then
    UNWIZ=/LANG=en lang_install "lang-ja-$dpi" -- /LANG=ja
    L=$WORK/lang-ja-$dpi-uninst.log
    expect "$L" "caption=Σημειώσεις Acme Uninstaller - Acme Setup"
    expect "$L" "text uninstallfinishtitle=Uninstall Complete!"
  else
    lang_install "lang-ja-$dpi" -- /LANG=ja
  fi
  L=$WORK/lang-ja-$dpi.log
  expect "$L" "welcome caption=Σημειώσεις Acme セットアップ - Acme Setup"
  expect "$L" "welcome text welcomelabel=Acme Setup はこのコンピューターに Σημειώσεις Acme 2.4 をインストールします。続行する前に、ほかのアプリケーションをすべて終了することをお勧めします。"
  expect "$L" "finish text finish=完了(&F)"

  # Windows' Tahoma carries Arabic itself; Wine's does not, and Wine shapes right-to-left text in
  # the dialog font alone (no link to another font), so the Arabic run gets one that has it
  dialog_font 'DejaVu Sans'
  UNWIZ= lang_install "lang-ar-$dpi" -- /LANG=ar
  dialog_font Tahoma
  L=$WORK/lang-ar-$dpi-uninst.log
  expect "$L" "mirrored=1"
  expect "$L" "text uninstallfinishtitle=اكتملت إزالة التثبيت!"
  L=$WORK/lang-ar-$dpi.log
  expect "$L" "welcome mirrored=1"
  expect "$L" "welcome caption=إعداد Σημειώσεις Acme - Acme Setup"
  expect "$L" "finish text finishtitle=اكتمل التثبيت!"
done
$W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1

# without /LANG= the user's interface language chooses (a Japanese user here; only the welcome
# page: this machine's C library has no Japanese locale, so Wine could not name files in it)
LC_ALL=ja_JP.UTF-8 timeout -k 5 60 $W "$DRIVER" show "$ART/lang-ja-uilanguage.png" \
  "$(win "$PKG/lang-setup.exe")" >"$WORK/lang-ja-uilanguage.log" 2>&1
expect "$WORK/lang-ja-uilanguage.log" "caption=Σημειώσεις Acme セットアップ - Acme Setup"
# a language the package does not carry: English
LC_ALL=fr_FR.UTF-8 timeout -k 5 60 $W "$DRIVER" show "$ART/lang-fr-uilanguage.png" \
  "$(win "$PKG/lang-setup.exe")" >"$WORK/lang-fr-uilanguage.log" 2>&1
expect "$WORK/lang-fr-uilanguage.log" "caption=Σημειώσεις Acme Installer - Acme Setup"
