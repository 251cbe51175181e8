# Solid LZMA2 packages beside the classic codec: sourced by run.sh. The other scenario files pack
# with the default codec (LZMA2) already; these add a product installed and uninstalled silently
# with either codec, and the refusals of a package this setup program cannot read. Self-contained,
# so KESTREL_E2E_ONLY=solid runs them alone.
PACKER=${PACKER:-${KESTREL_PACK:-}}
for c in "$ROOT/build/host/pack/kestrel-pack" "$ROOT/build/host-san/pack/kestrel-pack"; do
  if [ -z "$PACKER" ] && [ -x "$c" ]; then PACKER=$c; fi
done
if [ -z "$PACKER" ]; then
  echo "skipped: solid scenarios need kestrel-pack"
  return 0
fi
ts=$(date +%s)
S_PROBE=$BIN/tests/e2e/kestrel_winprobe.exe
S_PATCH="$PY $ROOT/tests/e2e/patchpkg.py"
S_C=$WINEPREFIX/drive_c
S_SRC=$WORK/solid-src
rm -rf "$S_SRC"
mkdir -p "$S_SRC/data/deep" "$S_SRC/docs" "$S_SRC/copy"
cp "$BIN/tests/e2e/kestrel_product.exe" "$S_SRC/product.exe"
cp "$S_SRC/product.exe" "$S_SRC/copy/product-again.exe"  # stored once, written twice
cp "$S_SRC/product.exe" "$S_SRC/solid.exe"  # a main program no other product registers
printf 'Solid E2E\r\n' >"$S_SRC/readme.txt"
seq 1 40000 >"$S_SRC/data/numbers.txt"
: >"$S_SRC/data/empty.txt"
head -c 700000 /dev/urandom >"$S_SRC/data/deep/random.bin"  # several of the reader's slots
echo guide >"$S_SRC/docs/guide.txt"
cat >"$S_SRC/solid.toml" <<'EOT'
displayname = "E2E Solid"
exename = "solid.exe"
installfolder = "Kestrel E2E\\Solid"
[[files]]
source = "."
EOT
s_probe() {  # s_probe NAME CMDLINE: the run's exit code and windows in $WORK/NAME.log
  timeout -k 5 150 $W "$S_PROBE" run "$2" >"$WORK/$1.log" 2>&1
  if [ $? -eq 0 ]; then ok; else bad "$1: probe failed ($(tail -n 1 "$WORK/$1.log"))"; fi
}
s_exit() {  # s_exit NAME WANT CMDLINE
  s_probe "$1" "$3"
  expect "$WORK/$1.log" "exit=$2"
}
s_log() {  # s_log FILE TEXT
  if grep -Fq -- "$2" "$1" 2>/dev/null; then ok; else bad "$(basename "$1"): no line with '$2'"; fi
}
s_pack() {  # s_pack OUT ARGS...
  local o=$1
  shift
  if ASAN_OPTIONS=detect_leaks=0 "$PACKER" build "$S_SRC/solid.toml" -o "$o" --stub "$SETUP" \
    --level fast "$@" >"$WORK/pack-$(basename "$o").log" 2>&1; then ok; else
    bad "packing $o: $(tail -n 1 "$WORK/pack-$(basename "$o").log")"
  fi
}
s_pack "$PKG/solid-classic-setup.exe" --codec classic
s_pack "$PKG/solid-lzma2-setup.exe" --codec lzma2
cp "$PKG/solid-lzma2-setup.exe" "$PKG/solid-unknown-setup.exe"
$S_PATCH "$PKG/solid-unknown-setup.exe" codec 9
cp "$PKG/solid-lzma2-setup.exe" "$PKG/solid-oldreader-setup.exe"
$S_PATCH "$PKG/solid-oldreader-setup.exe" oldreader

# ---- 50. both codecs install the same files silently, and uninstall ------------------------------
for codec in classic lzma2; do
  s_exit "solid-$codec" 0 "$(win "$PKG/solid-$codec-setup.exe") /S /LOG=C:\\solid-$codec.log /D=C:\\Solid-$codec"
  for f in product.exe copy/product-again.exe readme.txt data/numbers.txt data/empty.txt \
    data/deep/random.bin docs/guide.txt; do
    if cmp -s "$S_SRC/$f" "$S_C/Solid-$codec/$f"; then ok; else bad "solid-$codec: $f differs"; fi
  done
  s_log "$S_C/solid-$codec.log" "installation complete"
  # the product's own uninstaller, as its entry names it
  s_exit "solid-$codec-uninstall" 0 \
    "\"C:\\Solid-$codec\\Uninstall E2E Solid.exe\" -ui solid.exe \"/PRODUCT=E2E Solid\" /S"
  if [ -e "$S_C/Solid-$codec/product.exe" ]; then bad "solid-$codec: not uninstalled"; else ok; fi
done

# ---- 51. a package this program cannot read is refused before anything is made ----------------
# an unknown codec (a newer packer's), and a solid package as an older setup program reads it
for kind in unknown oldreader; do
  s_exit "solid-$kind" 1603 "$(win "$PKG/solid-$kind-setup.exe") /S /LOG=C:\\solid-$kind.log /D=C:\\Solid-$kind"
  if [ -e "$S_C/Solid-$kind" ]; then bad "solid-$kind: the folder was made"; else ok; fi
  if $W reg query "$UNKEYS\\E2E Solid" >/dev/null 2>&1; then
    bad "solid-$kind: an uninstall entry was written"
  else ok; fi
  s_log "$S_C/solid-$kind.log" "the package's directory could not be read"
done
echo "solid scenarios ($ARCH): $(($(date +%s) - ts)) s"
