#!/usr/bin/env bash
# Install benchmark under wine64: packs a corpus of real PE files (Wine's own DLLs), installs it
# with the GUI driver in a fresh prefix, and compares against copying the same files with cp and
# with xcopy inside the prefix. Samples the setup process's peak memory for a large and a small
# package: it must not grow with the package. Times the start-up package check too: how much
# later the wizard appears than for the same package without its stored checksum.
#
# usage: bench/install_bench.sh [WIN64_BUILD] [PACKER]
#   WIN64_BUILD  holds setup/setup.exe and tests/e2e/kestrel_guidriver.exe (default build/win64)
#   PACKER       host kestrel-pack (default build/host/pack/kestrel-pack)
#   IBENCH_SIZES  corpus sizes in MB, one package each (default "300 30")
#   IBENCH_CORPUS=random  incompressible files instead, so the package is as large as the corpus
#   IBENCH_STARTUP_RUNS   start-ups timed with and without the package check (default 9)
# Work files go to build/ibench/. Not a test: it prints numbers, it judges nothing.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$(cd "${1:-$ROOT/build/win64}" && pwd)
PACK=${2:-$ROOT/build/host/pack/kestrel-pack}
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$BIN" "$PACK"
fi
W=/usr/lib/wine/wine64 WS=/usr/lib/wine/wineserver
SETUP=$BIN/setup/setup.exe DRIVER=$BIN/tests/e2e/kestrel_guidriver.exe
for f in "$SETUP" "$DRIVER" "$PACK"; do
  if [ ! -f "$f" ]; then echo "missing $f" >&2; exit 2; fi
done
WORK=$ROOT/build/ibench
export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d" HOME=$WORK/home
mkdir -p "$WORK" "$HOME"
now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
mb() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

# ---- the corpus: Wine's PE files in name order up to the size asked ------------------------
SRCDIRS="/usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/x86_64-linux-gnu/wine/i386-windows"
make_corpus() {  # make_corpus DIR MB
  local dir=$1 limit=$(($2 * 1048576)) total=0 f s
  rm -rf "$dir"
  mkdir -p "$dir/corpus"
  if [ "${IBENCH_CORPUS:-}" = random ]; then
    local i=0
    while [ "$total" -lt "$limit" ]; do
      i=$((i + 1))
      head -c 16777216 /dev/urandom >"$dir/corpus/random$i.bin"
      total=$((total + 16777216))
    done
  fi
  for d in $SRCDIRS; do
    [ "${IBENCH_CORPUS:-}" = random ] && break
    [ -d "$d" ] || continue
    mkdir -p "$dir/corpus/$(basename "$d")"
    while IFS= read -r f; do
      [ "$total" -ge "$limit" ] && break
      s=$(stat -c %s "$f")
      cp "$f" "$dir/corpus/$(basename "$d")/"
      total=$((total + s))
    done < <(find "$d" -maxdepth 1 -type f | sort)
  done
  cat >"$dir/kestrel.toml" <<EOF
displayname = "IBench $(basename "$dir")"
exename = "ibench.exe"
installfolder = "IBench\\\\$(basename "$dir")"
[[files]]
source = "corpus"
EOF
}

# ---- the prefix: made once, copied per run (same recipe as the e2e tests) ------------------
TPL=$WORK/template
. "$ROOT/tests/e2e/prefix.sh"
export WINEPREFIX=$WORK/prefix
fresh_prefix "$TPL" "$WINEPREFIX"
$WS -p
$W cmd /c echo >/dev/null 2>&1  # warm the server and the wine binaries
win() { $W winepath -w "$1" 2>/dev/null | tr -d '\r'; }

# peak memory of the setup process (not the driver, whose command line also names the package)
sample_mem() {  # sample_mem EXENAME OUTFILE: runs until killed
  local name=$1 out=$2 hwm=0 rss=0 anon=0 pid h r a
  while :; do
    for pid in $(pgrep -f "$name"); do
      grep -q guidriver "/proc/$pid/cmdline" 2>/dev/null && continue
      h=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
      r=$(awk '/^VmRSS/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
      [ -n "$h" ] && [ "$h" -gt "$hwm" ] && hwm=$h
      a=$(awk '/^RssAnon/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
      [ -n "$r" ] && [ "$r" -gt "$rss" ] && rss=$r
      [ -n "$a" ] && [ "$a" -gt "$anon" ] && anon=$a
      echo "$hwm $rss $anon" >"$out"
    done
    sleep 0.02
  done
}

# timestamps every line of the driver's output (it writes unbuffered)
stamp() { while IFS= read -r l; do printf '%s %s\n' "$(date +%s.%N)" "$l"; done; }

bench() {  # bench NAME MB
  local name=$1 size=$2 dir=$WORK/$1
  make_corpus "$dir" "$size"
  local files bytes
  files=$(find "$dir/corpus" -type f | wc -l)
  bytes=$(du -sb "$dir/corpus" | cut -f1)
  local exe=$dir/ibench-$name-setup.exe t0 t1
  t0=$(now)
  "$PACK" build "$dir/kestrel.toml" -o "$exe" --stub "$SETUP" --level fast >"$dir/pack.log" 2>&1 ||
    { echo "$name: pack failed: $(tail -n 1 "$dir/pack.log")"; return 1; }
  t1=$(now)
  local pack_s pkg
  pack_s=$(secs "$t0" "$t1")
  pkg=$(stat -c %s "$exe")

  local dest="$WINEPREFIX/drive_c/Program Files/IBench/$name"
  rm -rf "$dest"
  sample_mem "ibench-$name-setup.exe" "$dir/mem.txt" &
  local sampler=$!
  echo "0 0 0" >"$dir/mem.txt"
  t0=$(now)
  timeout -k 5 300 $W "$DRIVER" install - "$(win "$exe")" 2>&1 | stamp >"$dir/driver.log"
  t1=$(now)
  kill "$sampler" 2>/dev/null
  wait "$sampler" 2>/dev/null
  local drive_s start end inst_s hwm rss anon
  drive_s=$(secs "$t0" "$t1")
  # from Next on the destination page (posted right after "installpath=") to the finish page
  # (the driver waits 100 ms there before it reports)
  start=$(awk 'index($0, " installpath=") { print $1; exit }' "$dir/driver.log")
  end=$(awk 'index($0, " text finishlabel=") { print $1; exit }' "$dir/driver.log")
  if [ -n "$start" ] && [ -n "$end" ]; then
    inst_s=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.2f", b - a - 0.1 }')
  else
    inst_s="n/a (driver: $(tail -n 2 "$dir/driver.log" | cut -d' ' -f2- | tr '\n' ' '))"
  fi
  read -r hwm rss anon <"$dir/mem.txt"
  local got
  got=$(du -sb "$dest" 2>/dev/null | cut -f1)

  # the same files copied inside the prefix: Linux cp, then xcopy run by wine
  local cpdst=$WINEPREFIX/drive_c/ibench-cp-$name xdst=$WINEPREFIX/drive_c/ibench-xcopy-$name
  rm -rf "$cpdst" "$xdst"
  t0=$(now)
  cp -r "$dir/corpus" "$cpdst"
  t1=$(now)
  local cp_s xcopy_s wine_s
  cp_s=$(secs "$t0" "$t1")
  t0=$(now)
  $W cmd /c echo >/dev/null 2>&1
  t1=$(now)
  wine_s=$(secs "$t0" "$t1")
  t0=$(now)
  $W cmd /c xcopy /e /i /q "$(win "$dir/corpus")" "C:\\ibench-xcopy-$name" >"$dir/xcopy.log" 2>&1
  t1=$(now)
  xcopy_s=$(secs "$t0" "$t1")

  # start-up: launch to the wizard's first dump, with the package check and without it (the same
  # file with its record's extension zeroed); the driver waits 400 ms before it dumps
  local plain=$dir/ibench-$name-nocheck.exe with=() without=() i ts
  cp "$exe" "$plain"
  python3 - "$plain" <<'PY'
import sys
p = sys.argv[1]
d = bytearray(open(p, "rb").read())
d[len(d) - 780:] = bytes(780)  # the record's reserved tail: no extension, no check
open(p, "wb").write(d)
PY
  startup() {  # startup EXE: seconds from launch to the wizard's first dump
    local t0 first
    t0=$(now)
    timeout -k 5 60 $W "$DRIVER" show - "$(win "$1")" 2>&1 | stamp >"$dir/show.log"
    first=$(awk 'index($0, " client=") { print $1; exit }' "$dir/show.log")
    awk -v a="$t0" -v b="${first:-0}" 'BEGIN { printf "%.3f", b - a - 0.4 }'
  }
  local runs=${IBENCH_STARTUP_RUNS:-9}
  for i in $(seq 1 "$runs"); do
    with+=("$(startup "$exe")")
    without+=("$(startup "$plain")")
  done
  median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }
  local sw so
  sw=$(median "${with[@]}")
  so=$(median "${without[@]}")

  echo "== $name: $files files, $(mb "$bytes") MB of files"
  echo "package:      $(mb "$pkg") MB, packed in $pack_s s (--level fast)"
  echo "installed:    $(mb "${got:-0}") MB in the destination"
  echo "install:      $inst_s s (Next to finish page; driver run $drive_s s in all)"
  echo "cp -r:        $cp_s s"
  echo "xcopy /e /i:  $xcopy_s s (a bare 'wine cmd /c echo' takes $wine_s s)"
  echo "start-up:     wizard after $sw s with the package check, $so s without (medians of $runs:" \
    "${with[*]} / ${without[*]}); the check adds $(awk -v a="$sw" -v b="$so" -v i="$inst_s" \
    'BEGIN { d = a - b; printf "%.2f s, %.1f%% of the install", d, (i + 0 > 0 ? 100 * d / i : 0) }')"
  # the check alone, through the Win32 file code under Wine: steadier than the start-up times
  local check=$BIN/bench/kestrel_check_bench.exe ck="n/a (no $BIN/bench/kestrel_check_bench.exe)"
  if [ -f "$check" ]; then
    ck=$($W "$check" "$(win "$exe")" 7 2>/dev/null | tail -n 1 | tr -d '\r')
    local best
    best=$(printf '%s\n' "$ck" | sed -n 's/.*best \([0-9.]*\) s.*/\1/p')
    [ -n "$best" ] && ck="$ck; $(awk -v c="$best" -v i="$inst_s" 'BEGIN { printf "%.1f%%", 100 * c / i }') of the install"
  fi
  echo "check alone:  $ck"
  echo "setup peak:   VmHWM $((hwm / 1024)) MB, max VmRSS seen $((rss / 1024)) MB (of it anonymous $((anon / 1024)) MB)"
  echo "load:         $(cut -d' ' -f1-3 /proc/loadavg) (machine shared: times vary)"
  rm -rf "$cpdst" "$xdst"
}

for mbs in ${IBENCH_SIZES:-300 30}; do bench "mb$mbs" "$mbs"; done
$WS -k
