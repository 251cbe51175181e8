#!/usr/bin/env bash
# The solid codec against the solid installers and archivers, on the three sets of
# bench/make_sets.py (programs, product, small): each set packed by kestrel-pack with the classic
# codec and with LZMA2, by NSIS (makensis, /SOLID lzma), as an MSI (wixl), as a tar by xz -9e and by
# zstd -19 --long; sizes as a share of the files and as ratios to NSIS and xz, packing times and
# the packers' peak memory. Then silent installs under wine64 of the chosen sets, interleaved (the
# order turns each round): setup.exe of either codec, NSIS's setup /S and msiexec /i /qn; medians
# of the rounds and ratios to the classic codec.
#
# usage: bench/solid_bench.sh [WIN64_BUILD] [PACKER]
#   WIN64_BUILD  holds setup/setup.exe (default build/win64); PACKER the host kestrel-pack
#   SBENCH_SETS (default "programs product small"), SBENCH_INSTALL ("product"; "" for none),
#   SBENCH_ROUNDS (3). Work files in build/sbench/. Not a test: it prints numbers, judges nothing.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$(cd "${1:-$ROOT/build/win64}" && pwd)
PACK=${2:-$ROOT/build/host/pack/kestrel-pack}
SETUP=$BIN/setup/setup.exe
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$BIN" "$PACK"
fi
SETS=${SBENCH_SETS-programs product small}
INSTALL=${SBENCH_INSTALL-product}
ROUNDS=${SBENCH_ROUNDS:-3}
WORK=$ROOT/build/sbench
for t in makensis wixl xz zstd; do
  command -v $t >/dev/null || { echo "$t missing (scripts/bootstrap installs it)" >&2; exit 2; }
done
for f in "$SETUP" "$PACK"; do [ -f "$f" ] || { echo "missing $f" >&2; exit 2; }; done
mkdir -p "$WORK"
now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }
pct() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f%%", 100 * a / b }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END {
  if (NR == 0) { print "n/a"; exit } if (NR % 2) print v[(NR + 1) / 2];
  else printf "%.2f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# timed NAME CMD...: runs CMD, leaves seconds in $WORK/NAME.time and peak KiB in $WORK/NAME.mem
timed() {
  local name=$1 t0 t1
  shift
  t0=$(now)
  /usr/bin/time -f "%M %U %S" -o "$WORK/$name.res" "$@" >"$WORK/$name.log" 2>&1 || echo "$name failed: $(tail -n 1 "$WORK/$name.log")" >&2
  t1=$(now)
  secs "$t0" "$t1" >"$WORK/$name.time"
  awk '{ print $1 >"/dev/stderr"; printf "%.1f\n", $2 + $3 }' "$WORK/$name.res" 2>"$WORK/$name.mem" >"$WORK/$name.cpu"
}

python3 "$ROOT/bench/make_sets.py" "$WORK/sets" $SETS
echo
printf '%-9s %7s %9s | %-18s %-18s %-18s %-18s %-18s %-18s\n' set files MB "kestrel classic" "kestrel lzma2" "NSIS /SOLID lzma" "MSI (wixl)" "xz -9e (tar)" "zstd -19 --long"
for s in $SETS; do
  d=$WORK/sets/$s
  files=$(find "$d/corpus" -type f | wc -l)
  raw=$(du -sb --apparent-size "$d/corpus" | cut -f1)
  # one after the other, the two solid packers beside each other
  timed "$s-classic" "$PACK" build "$d/kestrel.toml" -o "$d/classic-setup.exe" --stub "$SETUP" --codec classic
  timed "$s-lzma2" "$PACK" build "$d/kestrel.toml" -o "$d/lzma2-setup.exe" --stub "$SETUP" --codec lzma2
  timed "$s-nsis" sh -c "cd '$d' && makensis -V1 setup.nsi"
  timed "$s-msi" sh -c "cd '$d' && wixl -o product.msi product.wxs"
  tar -C "$d" -cf "$d/corpus.tar" corpus
  timed "$s-xz" sh -c "xz -9e -T1 -c '$d/corpus.tar' >'$d/corpus.tar.xz'"
  timed "$s-zstd" zstd -19 --long=27 -q -f "$d/corpus.tar" -o "$d/corpus.tar.zst"
  stub=$(stat -c %s "$SETUP")
  cell() { echo "$(stat -c %s "$1") $(pct "$(stat -c %s "$1")" "$raw") $(cat "$WORK/$2.time")s"; }
  printf '%-9s %7s %9s | %-18s %-18s %-18s %-18s %-18s %-18s\n' "$s" "$files" "$(awk -v b="$raw" 'BEGIN { printf "%.1f", b / 1048576 }')" \
    "$(cell "$d/classic-setup.exe" "$s-classic")" "$(cell "$d/lzma2-setup.exe" "$s-lzma2")" \
    "$(cell "$d/nsis-setup.exe" "$s-nsis")" "$(cell "$d/product.msi" "$s-msi")" \
    "$(cell "$d/corpus.tar.xz" "$s-xz")" "$(cell "$d/corpus.tar.zst" "$s-zstd")"
  l=$(stat -c %s "$d/lzma2-setup.exe")
  echo "          lzma2 setup / NSIS $(ratio "$l" "$(stat -c %s "$d/nsis-setup.exe")"), / xz $(ratio "$l" "$(stat -c %s "$d/corpus.tar.xz")"), / classic $(ratio "$l" "$(stat -c %s "$d/classic-setup.exe")"), of which the stub $stub bytes;" \
    "packing lzma2 / NSIS $(ratio "$(cat "$WORK/$s-lzma2.time")" "$(cat "$WORK/$s-nsis.time")") in time, $(ratio "$(cat "$WORK/$s-lzma2.cpu")" "$(cat "$WORK/$s-nsis.cpu")") in CPU seconds ($(cat "$WORK/$s-lzma2.cpu") s, $(cat "$WORK/$s-nsis.cpu") s); peak MiB: lzma2 $(($(cat "$WORK/$s-lzma2.mem") / 1024)), classic $(($(cat "$WORK/$s-classic.mem") / 1024)), NSIS $(($(cat "$WORK/$s-nsis.mem") / 1024))"
done
[ -n "$INSTALL" ] || exit 0

# ---- silent installs under wine64, interleaved -----------------------------------------------
W=/usr/lib/wine/wine64 WS=/usr/lib/wine/wineserver
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d" HOME=$WORK/home
mkdir -p "$HOME"
. "$ROOT/tests/e2e/prefix.sh"
export WINEPREFIX=$WORK/prefix
fresh_prefix "$ROOT/build/e2e-work/template" "$WINEPREFIX" || exit 1
$WS -p
$W cmd /c echo >/dev/null 2>&1
C=$WINEPREFIX/drive_c
# peak memory of a process whose command line holds NAME, sampled until killed
sample_mem() {
  local hwm=0 pid h
  while :; do
    for pid in $(pgrep -f "$1"); do
      h=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
      [ -n "$h" ] && [ "$h" -gt "$hwm" ] && hwm=$h && echo "$hwm" >"$2"
    done
    sleep 0.05
  done
}
for s in $INSTALL; do
  d=$WORK/sets/$s
  files=$(find "$d/corpus" -type f | wc -l)
  # the installers of this machine's architecture: setup.exe of the build given, NSIS's amd64 stub
  for kind in classic lzma2; do
    "$PACK" build "$d/kestrel.toml" -o "$d/w-$kind-setup.exe" --stub "$SETUP" --codec $kind >/dev/null ||
      { echo "$s: packing $kind failed" >&2; exit 1; }
  done
  (cd "$d" && makensis -V1 -DAMD64 setup.nsi) || { echo "$s: makensis failed" >&2; exit 1; }
  [ -f "$d/product.msi" ] || (cd "$d" && wixl -o product.msi product.wxs)
  declare -A T=()
  kinds=(classic lzma2 nsis msi)
  for r in $(seq 1 "$ROUNDS"); do
    for k in $(seq 0 3); do
      kind=${kinds[$(((k + r) % 4))]}
      dest=C:\\sbench-$kind
      rm -rf "$C/sbench-$kind" "$C/Program Files/Bench $s"
      case $kind in
        classic | lzma2) pattern=w-$kind-setup.exe ;;
        nsis) pattern=nsis64-setup.exe ;;
        msi) pattern=msiexec ;;
      esac
      sample_mem "$pattern" "$WORK/$s-$kind-install.mem" &
      sampler=$!
      t0=$(now)
      case $kind in
        classic | lzma2) $W "$(win "$d/w-$kind-setup.exe")" /S "/D=$dest" >/dev/null 2>&1 ;;
        nsis) $W "$(win "$d/nsis64-setup.exe")" /S "/D=$dest" >/dev/null 2>&1 ;;
        msi) $W msiexec /i "$(win "$d/product.msi")" /qn "TARGETDIR=$dest" >/dev/null 2>&1 ;;
      esac
      t1=$(now)
      kill "$sampler" 2>/dev/null
      wait "$sampler" 2>/dev/null
      got=$(find "$C/sbench-$kind" "$C/Program Files"*/"IBench MSI $s" -type f 2>/dev/null | wc -l)
      [ "$got" -ge "$files" ] || echo "$s $kind round $r: $got of $files files installed" >&2
      T[$kind]="${T[$kind]:-} $(secs "$t0" "$t1")"
      # an MSI install is recorded: take it back so the next round installs again
      [ "$kind" = msi ] && $W msiexec /x "$(win "$d/product.msi")" /qn >/dev/null 2>&1
    done
  done
  c=$(echo "${T[classic]}" | median)
  echo
  echo "== silent install under wine64, $s ($files files), median of $ROUNDS rounds"
  for kind in "${kinds[@]}"; do
    m=$(echo "${T[$kind]}" | median)
    echo "$kind: $m s (rounds:${T[$kind]}), / classic $(ratio "$m" "$c"), peak $(($(cat "$WORK/$s-$kind-install.mem" 2>/dev/null || echo 0) / 1024)) MiB"
  done
done
$WS -k
