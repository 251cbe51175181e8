#!/usr/bin/env bash
# What the install record costs: silent installs of the mixed set (bench/make_testset.py) under
# wine64 by this tree's setup.exe and by the same program built without the record's write (a
# patched copy of the tree), interleaved (the order turns each round), medians, the ratio.
# The record's other work (the list of files as they are written, the earlier record read at
# the start) stays in both: it is part of the file step's bookkeeping either way.
#
# usage: bench/record_bench.sh [WIN64_BUILD] [PACKER]
#   WIN64_BUILD  holds setup/setup.exe (default build/win64)
#   PACKER       host kestrel-pack (default build/host/pack/kestrel-pack)
#   RBENCH_ROUNDS (default 7)
# Work files go to build/rbench/. Not a test: it prints numbers, it judges nothing.
set -u
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BIN=$(cd "${1:-$ROOT/build/win64}" && pwd)
PACK=${2:-$ROOT/build/host/pack/kestrel-pack}
ROUNDS=${RBENCH_ROUNDS:-7}
WORK=$ROOT/build/rbench
W=/usr/lib/wine/wine64 WS=/usr/lib/wine/wineserver
SETUP=$BIN/setup/setup.exe
for f in "$SETUP" "$PACK"; do
  if [ ! -f "$f" ]; then echo "missing $f" >&2; exit 2; fi
done
mkdir -p "$WORK"

# ---- the peer: this tree with the record's write taken out -----------------------------------
SRC=$WORK/src
rm -rf "$SRC" && mkdir -p "$SRC"
git -C "$ROOT" ls-files -z | (cd "$ROOT" && xargs -0 tar -cf -) | tar -xf - -C "$SRC"
mkdir -p "$SRC/build" && cp -a "$ROOT/build/third_party" "$SRC/build/" 2>/dev/null
python3 - "$SRC/installengine/installrun.cpp" <<'PY'
import sys
p = sys.argv[1]
s = open(p).read()
old = "if (!WriteRecord(links, in, !association.empty())) {"
assert old in s, "the record's write is not where this benchmark expects it"
open(p, "w").write(s.replace(old, "if ((static_cast<void>(links), false)) {"))
PY
(cd "$SRC" && cmake --preset win64 >/dev/null && cmake --build --preset win64 --target setup -j 2 \
  >"$WORK/peer-build.log" 2>&1) || { echo "the peer build failed: $WORK/peer-build.log" >&2; exit 1; }
PEER=$SRC/build/win64/setup/setup.exe

# ---- the set, packed once per stub ------------------------------------------------------------
SET=$WORK/mixed
python3 "$ROOT/bench/make_testset.py" "$SET"
files=$(find "$SET/corpus" -type f | wc -l)
"$PACK" build "$SET/kestrel.toml" -o "$WORK/with-record.exe" --stub "$SETUP" >"$WORK/pack1.log" 2>&1 &&
  "$PACK" build "$SET/kestrel.toml" -o "$WORK/without-record.exe" --stub "$PEER" >"$WORK/pack2.log" 2>&1 ||
  { echo "packing failed" >&2; exit 1; }

export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d" HOME=$WORK/home
mkdir -p "$HOME"
TPL=$ROOT/build/e2e-work/template
. "$ROOT/tests/e2e/prefix.sh"
export WINEPREFIX=$WORK/prefix
fresh_prefix "$TPL" "$WINEPREFIX" || exit 1
$WS -p
$W cmd /c echo >/dev/null 2>&1
now() { date +%s.%N; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END {
  if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

with=() without=()
for ((r = 0; r < ROUNDS; r++)); do
  for v in $( ((r % 2)) && echo "without-record with-record" || echo "with-record without-record"); do
    dest="C:\\rbench\\$v-$r"
    t0=$(now)
    $W "$WORK/$v.exe" /S "/D=$dest" >"$WORK/$v-$r.log" 2>&1
    t1=$(now)
    t=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
    n=$(find "$WINEPREFIX/drive_c/rbench/$v-$r" -type f | wc -l)
    [ "$n" -ge "$files" ] || echo "  round $r: $v left $n of $files files"
    if [ "$v" = with-record ]; then with+=("$t"); else without+=("$t"); fi
    rm -rf "$WINEPREFIX/drive_c/rbench/$v-$r"
  done
done
$WS -k
mw=$(echo "${with[*]}" | median)
mo=$(echo "${without[*]}" | median)
echo "mixed set: $files files, $ROUNDS rounds each, interleaved"
echo "  with the record:    ${with[*]} -> median $mw s"
echo "  without the record: ${without[*]} -> median $mo s"
awk -v a="$mw" -v b="$mo" 'BEGIN { printf "  ratio with/without: %.3f (the record costs %.1f%%)\n", a / b, (a / b - 1) * 100 }'
