#!/usr/bin/env bash
# Extraction throughput: `kestrel-pack extract` (the installer's own file step) against
# `tar -xzf` and `cp -r` of the same files, each into a fresh folder on the same file system with
# the page cache warm. Builds nothing: give it a built kestrel-pack.
#   bench/extract_bench.sh [--runs N] [--scratch DIR] [--compare OTHER_KESTREL_PACK]
#                          [KESTREL_PACK [CORPUS]]
# Defaults: $BENCH_BUILD_DIR/pack/kestrel-pack (BENCH_BUILD_DIR defaults to build/host) and the
# corpus scripts/bench uses ($BENCH_CORPUS, else <build>/bench-corpus), made by
# bench/make_corpus.py when it is missing. The package is packed once at --level fast.
# The outputs go to a folder beside the corpus; --scratch puts them elsewhere (e.g. /dev/shm to
# take the disk file system out of the comparison). --compare adds a row for another build
# extracting the same package (e.g. the one before a change).
# Rounds run the tools in turn, so load from elsewhere hits them alike. ext4 without a journal
# (as here) passes over inodes freed in the last minutes when it allocates, which slows file
# creation for every tool after large deletions, this script's own cleanup included: no output
# is deleted before the end, and a run a few minutes after the last one reads truest.
# BENCH_VERBOSE=1 prints every run's time.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=5
scratch=
other=
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=${2:?--runs needs a number}; shift 2 ;;
    --runs=*) runs=${1#--runs=}; shift ;;
    --scratch) scratch=${2:?--scratch needs a folder}; shift 2 ;;
    --scratch=*) scratch=${1#--scratch=}; shift ;;
    --compare) other=${2:?--compare needs a kestrel-pack}; shift 2 ;;
    --compare=*) other=${1#--compare=}; shift ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "extract_bench: unknown option $1" >&2; exit 2 ;;
    *) args+=("$1"); shift ;;
  esac
done
[ "${#args[@]}" -le 2 ] || { echo "extract_bench: too many arguments" >&2; exit 2; }
case "$runs" in ''|*[!0-9]*|0) echo "extract_bench: --runs needs a positive number" >&2; exit 2 ;; esac

build=${BENCH_BUILD_DIR:-build/host}
pack=${args[0]:-$build/pack/kestrel-pack}
corpus=${args[1]:-${BENCH_CORPUS:-$build/bench-corpus}}

[ -x "$pack" ] || { echo "extract_bench: no kestrel-pack at $pack (build it first)" >&2; exit 1; }
[ -f "$corpus/STAMP" ] || python3 bench/make_corpus.py "$corpus"
corpus=$(cd "$corpus" && pwd)
pack=$(cd "$(dirname "$pack")" && pwd)/$(basename "$pack")
if [ -n "$other" ]; then
  [ -x "$other" ] || { echo "extract_bench: no kestrel-pack at $other" >&2; exit 1; }
  other=$(cd "$(dirname "$other")" && pwd)/$(basename "$other")
fi

# beside the corpus (unless --scratch), so every tool writes to the same file system
work=$(mktemp -d "${scratch:-$(dirname "$corpus")}/extract-bench.XXXXXX")
# synced after removal: ext4 then skips the freed inodes for a minute only, not six
trap 'rm -rf "$work"; sync' EXIT

python3 - "$work" "$corpus" <<'EOF'
import os, re, sys
work, corpus = sys.argv[1], sys.argv[2]
# the smallest file the packer takes for a PE executable: "MZ", e_lfanew, "PE\0\0"
b = bytearray(b"\xab" * 1024)
b[0:2] = b"MZ"
b[0x3C:0x40] = (0x80).to_bytes(4, "little")
b[0x80:0x84] = b"PE\0\0"
# and the mark of a setup program that reads the compact directory, the packer's default form
mark = re.search(r'kCompactDirectoryCapability = "([^"]+)"', open("package/directory.h").read())
b[0x100:0x100 + len(mark[1])] = mark[1].encode()
open(os.path.join(work, "stub.exe"), "wb").write(b)
# the main program has to be among the files at the top; STAMP is the one there
with open(os.path.join(work, "kestrel.toml"), "w") as m:
    m.write(f'displayname = "Extract bench"\nexename = "STAMP"\n'
            f"[[files]]\nsource = '{corpus}'\n")
EOF
"$pack" build "$work/kestrel.toml" -o "$work/setup.exe" --stub "$work/stub.exe" --level fast
tar -czf "$work/corpus.tgz" -C "$corpus" .

# a wrong extraction must not win the race: check one against the corpus before timing (kept
# until the end: deleting it now would slow the timed runs)
"$pack" extract "$work/setup.exe" "$work/check" >/dev/null
diff -r "$corpus" "$work/check" >/dev/null ||
  { echo "extract_bench: extracted files differ from the corpus" >&2; exit 1; }

python3 - "$work" "$corpus" "$pack" "$runs" "$other" <<'EOF'
import os, statistics, subprocess, sys, time

work, corpus, pack, other = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[5]
runs = int(sys.argv[4])
content = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(corpus) for f in fs)
count = sum(len(fs) for _, _, fs in os.walk(corpus))

def extract(dest, tool=pack):
    return [tool, "extract", os.path.join(work, "setup.exe"), dest]
def untar(dest):
    os.mkdir(dest)
    return ["tar", "-xzf", os.path.join(work, "corpus.tgz"), "-C", dest]
def copy(dest):
    return ["cp", "-r", corpus, dest]

tools = [("kestrel-pack extract", extract), ("tar -xzf", untar), ("cp -r", copy)]
if other:
    tools.insert(1, ("other extract", lambda dest: extract(dest, other)))
wall = {name: [] for name, _ in tools}
cpu = {name: [] for name, _ in tools}
null = open(os.devnull, "wb")
# warm the page cache for every source
for path in (os.path.join(work, "setup.exe"), os.path.join(work, "corpus.tgz")):
    open(path, "rb").read()
subprocess.run(["cat"] + [os.path.join(d, f) for d, _, fs in os.walk(corpus) for f in fs],
               stdout=null, check=True)
for r in range(runs):
    order = tools[r % len(tools):] + tools[:r % len(tools)]
    for name, make in order:
        dest = os.path.join(work, f"{name.split()[0]}.{r}")
        argv = make(dest)
        os.sync()  # earlier runs' dirty pages go out now, not during this one
        t0 = time.perf_counter()
        p = subprocess.Popen(argv, stdout=null)
        _, status, usage = os.wait4(p.pid, 0)
        t1 = time.perf_counter()
        if status != 0:
            sys.exit(f"extract_bench: {' '.join(argv)} failed ({status})")
        wall[name].append(t1 - t0)
        cpu[name].append(usage.ru_utime + usage.ru_stime)

mb = content / 1e6
cp_best, cp_median = min(wall["cp -r"]), statistics.median(wall["cp -r"])
print(f"\nextraction of {count} files, {mb:.1f} MB, {runs} runs each, fresh folders "
      f"(load average {os.getloadavg()[0]:.1f})")
print(f"{'':22}{'best s':>8}{'median s':>10}{'MB/s':>7}{'cpu s':>7}{'x cp best':>11}"
      f"{'x cp median':>13}")
for name, _ in tools:
    best, median = min(wall[name]), statistics.median(wall[name])
    print(f"{name:22}{best:8.3f}{median:10.3f}{mb / best:7.0f}{statistics.median(cpu[name]):7.3f}"
          f"{best / cp_best:11.2f}{median / cp_median:13.2f}")
print("MB/s: content over the best run; cpu s: median user + system time; x cp: against cp -r")
if os.environ.get("BENCH_VERBOSE"):
    for name, _ in tools:
        print(f"{name:22}" + " ".join(f"{t:.3f}" for t in wall[name]))
if other:
    print(f"other extract: {other}")
EOF
