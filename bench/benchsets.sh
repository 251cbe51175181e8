# Sourced by the install benchmarks: timing and ratio helpers, and the PE corpus set (every
# file of Wine's PE folders in name order up to a size), with its manifest and WiX source.
# Needs ROOT, WORK, W and WS.

# The Wine prefix under $WORK, made once from the e2e tests' template and copied per run, with
# the server kept up and warm. Exports WINEPREFIX and the quiet Wine settings.
bench_prefix() {
  export WINEDEBUG=-all WINEDLLOVERRIDES="winemenubuilder.exe=d" HOME=$WORK/home
  mkdir -p "$WORK" "$HOME"
  TPL=$ROOT/build/e2e-work/template
  . "$ROOT/tests/e2e/prefix.sh"
  export WINEPREFIX=$WORK/prefix
  fresh_prefix "$TPL" "$WINEPREFIX" || return 1
  $WS -p
  $W cmd /c echo >/dev/null 2>&1  # warm the server and the wine binaries
}
now() { date +%s.%N; }
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
mb() { awk -v b="$1" 'BEGIN { printf "%.2f", b / 1048576 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{ v[NR] = $1 } END {
  if (NR == 0) { print "n/a"; exit } if (NR % 2) print v[(NR + 1) / 2];
  else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

make_pe_corpus() {  # make_pe_corpus DIR MB
  local dir=$1 limit=$(($2 * 1048576)) total=0 f s d
  [ -f "$dir/pe.stamp" ] && [ "$(cat "$dir/pe.stamp")" = "$2" ] && return
  rm -rf "$dir"
  mkdir -p "$dir/corpus"
  for d in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows /usr/lib/x86_64-linux-gnu/wine/i386-windows; do
    [ -d "$d" ] || continue
    mkdir -p "$dir/corpus/$(basename "$d")"
    while IFS= read -r f; do
      [ "$total" -ge "$limit" ] && break
      s=$(stat -c %s "$f")
      cp "$f" "$dir/corpus/$(basename "$d")/"
      total=$((total + s))
    done < <(find "$d" -maxdepth 1 -type f | sort)
  done
  printf 'MZ' >"$dir/corpus/ibench.exe"  # the main program the manifest names
  cat >"$dir/kestrel.toml" <<EOF
displayname = "IBench $(basename "$dir")"
exename = "ibench.exe"
installfolder = "IBench\\\\$(basename "$dir")"
[[files]]
source = "corpus"
EOF
  python3 "$ROOT/bench/make_testset.py" --wxs "$dir"
  echo "$2" >"$dir/pe.stamp"
}

