#!/usr/bin/env bash
# The journal's cost under wine64: the same package installed silently by a setup.exe without the
# transaction (BASELINE, e.g. a build of the commit before it) and by this build's, interleaved
# (the order turns each round), medians of the rounds, ratios printed. Each round runs, for each
# program, a first install into an empty folder and then the same install again over it, where
# every file that exists is moved aside before its new copy is written and the backups go at the
# end. The sets are install_bench.sh's: mixed (a mixed corpus) and mb300 (300 MB of PE files).
#
# usage: bench/journal_bench.sh BASELINE_SETUP [WIN64_BUILD] [PACKER]
#   BASELINE_SETUP  a win64 setup.exe without the journal
#   WIN64_BUILD     holds setup/setup.exe (default build/win64)
#   PACKER          host kestrel-pack (default build/host/pack/kestrel-pack)
#   JBENCH_SETS (default "mixed mb300"), JBENCH_ROUNDS (default 5)
# Work files go to build/jbench/. Not a test: it prints numbers, it judges nothing.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BASE=${1:?usage: bench/journal_bench.sh BASELINE_SETUP [WIN64_BUILD] [PACKER]}
BASE=$(cd "$(dirname "$BASE")" && pwd)/$(basename "$BASE")
BIN=$(cd "${2:-$ROOT/build/win64}" && pwd)
PACK=${3:-$ROOT/build/host/pack/kestrel-pack}
if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$BASE" "$BIN" "$PACK"
fi
W=/usr/lib/wine/wine64 WS=/usr/lib/wine/wineserver
SETUP=$BIN/setup/setup.exe
for f in "$SETUP" "$BASE" "$PACK"; do
  if [ ! -f "$f" ]; then echo "missing $f" >&2; exit 2; fi
done
ROUNDS=${JBENCH_ROUNDS:-5}
WORK=$ROOT/build/jbench
. "$ROOT/bench/benchsets.sh"
bench_prefix || exit 1

timed() {  # timed EXE: the seconds of one silent install
  local t0 t1
  sync  # what the round before left to write does not land in this one
  t0=$(now)
  $W "$1" /S >/dev/null 2>&1 || echo "  $(basename "$1") exited $?" >&2
  t1=$(now)
  secs "$t0" "$t1"
}

uninstall() {  # uninstall NAME DEST: the product's quiet uninstall command, waited for to its end
  local cmd args _
  cmd=$($W reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\IBench $1" \
    /v QuietUninstallString 2>/dev/null | tr -d '\r' | sed -n 's/^ *QuietUninstallString *REG_SZ *//p')
  if [ -z "$cmd" ]; then
    echo "  IBench $1 is not registered" >&2
    return
  fi
  eval "args=($cmd)"  # the program in quotes, then its arguments
  $W "${args[@]}" >/dev/null 2>&1
  # it goes on in a copy of itself outside the folder: done when it has removed the program, so
  # the next round does not find this product still registered
  for _ in $(seq 1 100); do
    [ -e "$2/${args[0]##*\\}" ] || return 0
    sleep 0.2
  done
  echo "  the uninstaller of IBench $1 did not end" >&2
}

paired() {  # paired A B: the median of A[r] / B[r] over the rounds (array names)
  local -n x=$1 y=$2
  local k out=()
  for k in "${!x[@]}"; do out+=("$(ratio "${x[$k]}" "${y[$k]}")"); done
  echo "${out[*]}" | median
}

bench_set() {  # bench_set NAME
  local name=$1 dir=$WORK/$1
  case $name in
    mixed) python3 "$ROOT/bench/make_testset.py" "$dir" ;;
    mb*) make_pe_corpus "$dir" "${name#mb}" ;;
  esac
  local files bytes with=$dir/journal-$name-setup.exe without=$dir/plain-$name-setup.exe
  files=$(find "$dir/corpus" -type f | wc -l)
  bytes=$(du -sb "$dir/corpus" | cut -f1)
  "$PACK" build "$dir/kestrel.toml" -o "$with" --stub "$SETUP" --level fast >"$dir/pack.log" 2>&1 &&
    "$PACK" build "$dir/kestrel.toml" -o "$without" --stub "$BASE" --level fast >>"$dir/pack.log" 2>&1 ||
    { echo "$name: pack failed: $(tail -n 1 "$dir/pack.log")"; return 1; }
  local dest="$WINEPREFIX/drive_c/Program Files/IBench/$name"
  local a1=() a2=() b1=() b2=() r i
  for ((r = 0; r < ROUNDS; r++)); do
    for ((i = 0; i < 2; i++)); do
      if (((i + r) % 2 == 0)); then
        a1+=("$(timed "$with")")
        a2+=("$(timed "$with")")
        [ "$(find "$dest" -type f | wc -l)" -eq "$((files + 2))" ] ||
          echo "  round $r: setup with the journal left $(find "$dest" -type f | wc -l) files"
        uninstall "$name" "$dest"
      else
        b1+=("$(timed "$without")")
        b2+=("$(timed "$without")")
        [ "$(find "$dest" -type f | wc -l)" -eq "$((files + 2))" ] ||
          echo "  round $r: setup without the journal left $(find "$dest" -type f | wc -l) files"
        uninstall "$name" "$dest"
      fi
      rm -rf "$dest"
    done
  done
  local ma1 ma2 mb1 mb2
  ma1=$(echo "${a1[*]}" | median) ma2=$(echo "${a2[*]}" | median)
  mb1=$(echo "${b1[*]}" | median) mb2=$(echo "${b2[*]}" | median)
  echo "== $name: $files files, $(mb "$bytes") MB; $ROUNDS interleaved rounds, medians"
  echo "   (paired: the median of each round's own ratio, which a machine whose speed drifts"
  echo "   between rounds moves less than the ratio of the medians)"
  echo "first install:  journal $ma1 s, without $mb1 s, ratio $(ratio "$ma1" "$mb1"), paired $(paired a1 b1)   [${a1[*]}] [${b1[*]}]"
  echo "over itself:    journal $ma2 s, without $mb2 s, ratio $(ratio "$ma2" "$mb2"), paired $(paired a2 b2)   [${a2[*]}] [${b2[*]}]"
  echo "load:           $(cut -d' ' -f1-3 /proc/loadavg) (machine shared: times vary)"
}

for s in ${JBENCH_SETS:-mixed mb300}; do bench_set "$s"; done
$WS -k
