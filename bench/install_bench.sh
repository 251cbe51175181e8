#!/usr/bin/env bash
# Install benchmark under wine64: the same files installed by setup.exe, by msiexec /i /qn from
# an MSI that wixl builds of them, by xcopy inside the prefix and by cp -r, interleaved (the order
# turns each round), medians of the rounds, ratios printed. Two sets:
#   mixed  every 16th file of a mixed corpus from this machine's packages (bench/make_testset.py:
#          Wine's PE files, texts and HTML, icons, jars; files up to 1 MB)
#   mb300  Wine's PE files in name order up to 300 MB
# setup.exe runs silently ("/S") when it supports that (found out by a trial run that must exit
# 0 with every file installed); otherwise the GUI driver clicks to the progress page and then only
# waits for the finish page (KDRV_QUIET=1), and the time runs from Next to the finish page. The
# setup file's size is set against the MSI's and the payload's; setup's peak memory is sampled.
#
# usage: bench/install_bench.sh [WIN64_BUILD] [PACKER]
#   WIN64_BUILD  holds setup/setup.exe and tests/e2e/kestrel_guidriver.exe (default build/win64)
#   PACKER       host kestrel-pack (default build/host/pack/kestrel-pack)
#   IBENCH_SETS   which sets (default "mixed mb300"); IBENCH_ROUNDS (default 5)
#   IBENCH_LEVEL  packer level (default best)
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
command -v wixl >/dev/null || { echo "wixl missing (scripts/bootstrap installs it)" >&2; exit 2; }
ROUNDS=${IBENCH_ROUNDS:-5}
LEVEL=${IBENCH_LEVEL:-best}
WORK=$ROOT/build/ibench
. "$ROOT/bench/benchsets.sh"
bench_prefix || exit 1

# peak memory of the setup process (not the driver, whose command line also names the package)
sample_mem() {  # sample_mem EXENAME OUTFILE: runs until killed
  local name=$1 out=$2 hwm=0 pid h
  while :; do
    for pid in $(pgrep -f "$name"); do
      grep -q guidriver "/proc/$pid/cmdline" 2>/dev/null && continue
      h=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null)
      [ -n "$h" ] && [ "$h" -gt "$hwm" ] && hwm=$h && echo "$hwm" >"$out"
    done
    sleep 0.02
  done
}
stamp() { while IFS= read -r l; do printf '%s %s\n' "$(date +%s.%N)" "$l"; done; }

SILENT=""  # decided once, on the first set
# run_kestrel EXE DEST LOG: prints the install's seconds
run_kestrel() {
  local exe=$1 dest=$2 log=$3 t0 t1 start end
  if [ "$SILENT" = 1 ]; then
    t0=$(now)
    $W "$exe" /S >"$log" 2>&1
    t1=$(now)
    secs "$t0" "$t1"
  else
    KDRV_QUIET=1 timeout -k 5 900 $W "$DRIVER" install - "$(win "$exe")" 2>&1 | stamp >"$log"
    start=$(awk 'index($0, " installpath=") { print $1; exit }' "$log")
    end=$(awk 'index($0, " finish seen") { print $1; exit }' "$log")
    if [ -n "$start" ] && [ -n "$end" ]; then secs "$start" "$end"; else echo "n/a"; fi
  fi
}

bench_set() {  # bench_set NAME
  local name=$1 dir=$WORK/$1
  case $name in
    mixed) python3 "$ROOT/bench/make_testset.py" "$dir" ;;
    mb*) make_pe_corpus "$dir" "${name#mb}" ;;
  esac
  local files bytes exe=$dir/ibench-$name-setup.exe msi=$dir/ibench-$name.msi
  files=$(find "$dir/corpus" -type f | wc -l)
  bytes=$(du -sb "$dir/corpus" | cut -f1)
  "$PACK" build "$dir/kestrel.toml" -o "$exe" --stub "$SETUP" --level "$LEVEL" >"$dir/pack.log" 2>&1 ||
    { echo "$name: pack failed: $(tail -n 1 "$dir/pack.log")"; return 1; }
  (cd "$dir" && wixl -o "$msi" product.wxs) >"$dir/wixl.log" 2>&1 ||
    { echo "$name: wixl failed: $(tail -n 1 "$dir/wixl.log")"; return 1; }
  local setup_size msi_size stub_size
  setup_size=$(stat -c %s "$exe")
  msi_size=$(stat -c %s "$msi")
  stub_size=$(stat -c %s "$SETUP")

  local dest="$WINEPREFIX/drive_c/Program Files/IBench/$name"
  local msidest="$WINEPREFIX/drive_c/Program Files (x86)/IBench MSI $name"
  [ -d "$WINEPREFIX/drive_c/Program Files (x86)" ] || msidest="$WINEPREFIX/drive_c/Program Files/IBench MSI $name"
  local xdst=$WINEPREFIX/drive_c/ibench-xcopy-$name cpdst=$WINEPREFIX/drive_c/ibench-cp-$name
  rm -rf "$dest" "$xdst" "$cpdst"

  if [ -z "$SILENT" ]; then
    SILENT=0
    if timeout -k 2 60 $W "$exe" /S >"$dir/silent-probe.log" 2>&1 &&
      [ "$(find "$dest" -type f 2>/dev/null | wc -l)" -eq "$((files + 2))" ]; then
      SILENT=1
    fi
    rm -rf "$dest"
  fi

  local k=() m=() x=() c=() hwm=0 t0 t1 r i method order
  local methods=(kestrel msiexec xcopy cp)
  for ((r = 0; r < ROUNDS; r++)); do
    order=""
    for ((i = 0; i < 4; i++)); do
      method=${methods[$(((i + r) % 4))]}
      order="$order $method"
      case $method in
        kestrel)
          echo 0 >"$dir/mem.txt"
          sample_mem "ibench-$name-setup.exe" "$dir/mem.txt" &
          local sampler=$!
          k+=("$(run_kestrel "$exe" "$dest" "$dir/kestrel-$r.log")")
          kill "$sampler" 2>/dev/null
          wait "$sampler" 2>/dev/null
          local h
          h=$(cat "$dir/mem.txt")
          [ "$h" -gt "$hwm" ] && hwm=$h
          # the package's files, the product's uninstaller and its install record
          [ "$(find "$dest" -type f 2>/dev/null | wc -l)" -eq "$((files + 2))" ] ||
            echo "  round $r: setup left $(find "$dest" -type f 2>/dev/null | wc -l) of $files files and 2 of its own"
          rm -rf "$dest"
          ;;
        msiexec)
          t0=$(now)
          $W msiexec /i "$(win "$msi")" /qn >"$dir/msiexec-$r.log" 2>&1
          t1=$(now)
          m+=("$(secs "$t0" "$t1")")
          [ "$(find "$msidest" -type f 2>/dev/null | wc -l)" -eq "$files" ] ||
            echo "  round $r: msiexec left $(find "$msidest" -type f 2>/dev/null | wc -l) of $files files"
          $W msiexec /x "$(win "$msi")" /qn >/dev/null 2>&1
          rm -rf "$msidest"
          ;;
        xcopy)
          t0=$(now)
          $W cmd /c xcopy /e /i /q "$(win "$dir/corpus")" "C:\\ibench-xcopy-$name" >"$dir/xcopy.log" 2>&1
          t1=$(now)
          x+=("$(secs "$t0" "$t1")")
          rm -rf "$xdst"
          ;;
        cp)
          t0=$(now)
          cp -r "$dir/corpus" "$cpdst"
          t1=$(now)
          c+=("$(secs "$t0" "$t1")")
          rm -rf "$cpdst"
          ;;
      esac
    done
  done
  local km mm xm cm echo_s
  km=$(echo "${k[*]}" | median)
  mm=$(echo "${m[*]}" | median)
  xm=$(echo "${x[*]}" | median)
  cm=$(echo "${c[*]}" | median)
  t0=$(now)
  $W cmd /c echo >/dev/null 2>&1
  t1=$(now)
  echo_s=$(secs "$t0" "$t1")

  echo "== $name: $files files, $(mb "$bytes") MB of files; $ROUNDS interleaved rounds, medians"
  echo "setup file:   $(mb "$setup_size") MB ($(mb "$stub_size") MB of it the program), --level $LEVEL"
  echo "MSI (wixl):   $(mb "$msi_size") MB"
  echo "size ratios:  setup/MSI $(ratio "$setup_size" "$msi_size"), package/MSI" \
    "$(ratio $((setup_size - stub_size)) "$msi_size"), setup/payload $(ratio "$setup_size" "$bytes")"
  if [ "$SILENT" = 1 ]; then
    echo "setup /S:     $km s (whole process)   [${k[*]}]"
  else
    echo "setup (GUI):  $km s (Next to finish page, driver only waiting)   [${k[*]}]"
  fi
  echo "msiexec /qn:  $mm s (whole process)   [${m[*]}]"
  echo "xcopy /e /i:  $xm s (whole process; a bare 'wine cmd /c echo' takes $echo_s s)   [${x[*]}]"
  echo "cp -r:        $cm s   [${c[*]}]"
  echo "time ratios:  setup/msiexec $(ratio "$km" "$mm"), setup/xcopy $(ratio "$km" "$xm")," \
    "setup/cp $(ratio "$km" "$cm")"
  # the start-up package check alone, through the Win32 file code: its share of the install
  local check=$BIN/bench/kestrel_check_bench.exe ck="n/a (no $BIN/bench/kestrel_check_bench.exe)" best
  if [ -f "$check" ]; then
    ck=$($W "$check" "$(win "$exe")" 7 2>/dev/null | tail -n 1 | tr -d '\r')
    best=$(printf '%s\n' "$ck" | sed -n 's/.*best \([0-9.]*\) s.*/\1/p')
    [ -n "$best" ] && ck="$ck; $(awk -v c="$best" -v i="$km" 'BEGIN { if (i + 0 > 0) printf "%.1f%%", 100 * c / i; else print "n/a" }') of the install"
  fi
  echo "check alone:  $ck"
  echo "setup peak:   VmHWM $((hwm / 1024)) MB"
  echo "load:         $(cut -d' ' -f1-3 /proc/loadavg) (machine shared: times vary)"
}

for s in ${IBENCH_SETS:-mixed mb300}; do bench_set "$s"; done
$WS -k
