# Solid LZMA2 packages beside the classic codec: sourced by run.sh after install_scenarios.sh and
# deploy_scenarios.sh, whose product tree, packer and helpers (packit, probe, exit_case) it uses.
# The other scenario files pack with the default codec (LZMA2) already; these add the classic
# codec's own run and the refusals of a package this setup program cannot read.
if ! declare -F packit >/dev/null || ! declare -F exit_case >/dev/null; then
  echo "skipped: solid scenarios need the install and deploy scenarios"
  return 0
fi
ts=$(date +%s)
packit "$SRC/app/full.toml" "$PKG/solid-classic-setup.exe" --codec classic
packit "$SRC/app/full.toml" "$PKG/solid-lzma2-setup.exe" --codec lzma2
cp "$PKG/solid-lzma2-setup.exe" "$PKG/solid-unknown-setup.exe"
$PATCH "$PKG/solid-unknown-setup.exe" codec 9
cp "$PKG/solid-lzma2-setup.exe" "$PKG/solid-oldreader-setup.exe"
$PATCH "$PKG/solid-oldreader-setup.exe" oldreader
SOLID_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\E2E Product'
[ "$ARCH" = win32 ] && SOLID_KEY='HKLM\Software\WOW6432Node\Microsoft\Windows\CurrentVersion\Uninstall\E2E Product'

# ---- 50. both codecs install the same files silently, and uninstall ------------------------------
for codec in classic lzma2; do
  dest=C:\\Solid-$codec
  exit_case "solid-$codec" 0 "$(win "$PKG/solid-$codec-setup.exe") /S /D=$dest /LOG=C:\\solid-$codec.log"
  for f in product.exe readme.txt data/numbers.txt data/empty.txt data/deep/er/random.bin docs/guide.txt; do
    if cmp -s "$SRC/app/$f" "$DRIVE_C/Solid-$codec/$f"; then ok; else bad "solid-$codec: $f differs"; fi
  done
  log_has "$DRIVE_C/solid-$codec.log" "installation complete"
  exit_case "solid-$codec-uninstall" 0 "C:\\windows\\kestrelui.exe -ui product.exe /S"
  absent_file "$DRIVE_C/Solid-$codec/product.exe"
done

# ---- 51. a package this program cannot read is refused before anything is made ----------------
# an unknown codec (a newer packer's), and a solid package as an older setup program reads it
for kind in unknown oldreader; do
  exit_case "solid-$kind" 1603 "$(win "$PKG/solid-$kind-setup.exe") /S /D=C:\\Solid-$kind /LOG=C:\\solid-$kind.log"
  absent_file "$DRIVE_C/Solid-$kind"
  if $W reg query "$SOLID_KEY" >/dev/null 2>&1; then bad "solid-$kind: an uninstall entry was written"; else ok; fi
  log_has "$DRIVE_C/solid-$kind.log" "the package's directory could not be read"
done
echo "solid scenarios ($ARCH): $(($(date +%s) - ts)) s"
