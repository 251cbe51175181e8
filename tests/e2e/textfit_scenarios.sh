# The width check: for every language at 96 and 144 DPI the wizard is shown with a Greek product
# name and the hook DLL measures, in the wizard's own fonts, every text against its control: the
# texts shown, every text of the language the wizard's controls can come to hold, the folder
# dialog's and the warning box's. Any text wider or taller than its control fails. Sourced by
# run.sh.
FPACKER=${PACKER:-${KESTREL_PACK:-}}
for c in "$ROOT/build/host/pack/kestrel-pack" "$ROOT/build/host-san/pack/kestrel-pack"; do
  if [ -z "$FPACKER" ] && [ -x "$c" ]; then FPACKER=$c; fi
done
FITDLL=$BIN/tests/e2e/kestrel_textfit.dll
if [ -z "$FPACKER" ] || [ ! -e "$FITDLL" ]; then
  echo "skipped: the width check needs kestrel-pack and kestrel_textfit.dll"
  return 0
fi
FSRC=$WORK/fitproduct
rm -rf "$FSRC"
mkdir -p "$FSRC/app"
cp "$BIN/tests/e2e/kestrel_product.exe" "$FSRC/app/product.exe"
cat >"$FSRC/fit.toml" <<'TOML'
displayname = "Σημειώσεις Acme"
exename = "product.exe"
version = "2.4"
installfolder = "アクメ\\ノート"
languages = "all"
brand = "Acme Setup"

[[files]]
source = "app"
TOML
ASAN_OPTIONS=detect_leaks=0 "$FPACKER" build "$FSRC/fit.toml" -o "$PKG/fit-setup.exe" \
  --stub "$SETUP" >"$WORK/fit-pack.log" 2>&1 || {
  bad "fit: packing failed: $(tail -n 1 "$WORK/fit-pack.log")"
  return 0
}

script_fonts

FITLOG=$WORK/fit-results.txt
rm -f "$FITLOG"
for dpi in 96 144; do
  $W reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $dpi /f >/dev/null 2>&1
  for lang in en de fr es it pt-BR nl pl ru uk tr ja zh-Hans zh-Hant ko ar he; do
    case $lang in ar | he) dialog_font 'DejaVu Sans' ;; esac
    echo "dpi $dpi" >>"$FITLOG"
    KFIT_OUT=$(win "$FITLOG") KFIT_LANG=$lang KFIT_NAME='Σημειώσεις Acme' KFIT_VERSION=2.4 \
      KFIT_BRAND='Acme Setup' KFIT_FOLDER="$PFW\\アクメ\\ノート" \
      timeout -k 5 90 $W "$DRIVER" fit "$(win "$FITDLL")" "$(win "$PKG/fit-setup.exe")" \
      /LANG=$lang >"$WORK/fit-$lang-$dpi.log" 2>&1
    rc=$?
    case $lang in ar | he) dialog_font Tahoma ;; esac
    if [ $rc -ne 0 ]; then bad "fit $lang $dpi: driver exit code $rc"; else ok; fi
    # the wizard, the folder dialog and the warning box were each measured
    for w in wizard folder box; do
      if grep -q "^fit $lang $w checked=[1-9]" "$FITLOG"; then ok; else bad "fit $lang $dpi: $w not measured"; fi
    done
  done
done
$W reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
# every measurement of every language at both densities fits
over=$(grep -c ' OVER' "$FITLOG" || true)
if [ "$over" = 0 ]; then ok; else
  bad "fit: $over texts overflow their controls:"
  grep ' OVER' "$FITLOG" | head -n 40
fi
echo "width check: $(grep -c ' ok$' "$FITLOG") measurements fit"
