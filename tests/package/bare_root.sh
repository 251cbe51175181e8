#!/usr/bin/env bash
# The Debian package and the CI example, in bare Debian 12 roots (no container engine needed):
#  1. kestrel-pack_*.deb goes into a minimal root with nothing else installed, and packs, lists
#     and verifies the sample there with the stub it brought;
#  2. the container recipe (examples/ci/Containerfile) is carried out in a second root, as a
#     container builder would: FROM a bare Debian 12, its COPY and RUN lines;
#  3. the workflow's commands (examples/ci/setup-release.yml, `run:` steps in order, `uses:`
#     steps stood in for) run in that image on two checkouts of one commit made at different
#     times, signing with a throw-away certificate: both setup files must be byte-identical.
# The bare root is made once with mmdebstrap from Debian's mirror and kept as a tarball in
# build/debroot/ (a later run reuses it; delete it to refresh). Needs root.
# usage: tests/package/bare_root.sh DEB
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
DEB=$(realpath "$1")
CACHE=$ROOT/build/debroot
TAR=$CACHE/bookworm-minbase.tar
RUN=$CACHE/run
pass=0 fail=0
ok() { pass=$((pass + 1)); }
bad() { fail=$((fail + 1)); echo "FAIL: $*"; }
step() { printf -- '-- %s (%ss)\n' "$*" "$SECONDS"; }

mkdir -p "$CACHE/apt-archives/partial"
if [ ! -s "$TAR" ]; then
  # the mirror apt on this machine uses, which is also the one it can reach
  mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -n 1)
  mirror=${mirror:-$(awk '$1 == "deb" { print $2; exit }' /etc/apt/sources.list 2>/dev/null)}
  step "making a bare Debian 12 root from ${mirror:-the default mirror} (once; kept in $TAR)"
  mmdebstrap --variant=minbase --format=tar --quiet bookworm "$TAR.part" ${mirror:+"$mirror"}
  mv "$TAR.part" "$TAR"
fi

# A fresh root from the tarball, with the host's name service so apt reaches the mirror.
fresh_root() {
  rm -rf "$1" && mkdir -p "$1"
  tar -xf "$TAR" -C "$1"
  cp /etc/resolv.conf "$1/etc/resolv.conf"
}
# in_root DIR COMMAND...: runs COMMAND in DIR as its root, with /proc and the shared apt cache
# mounted in a mount namespace of its own (gone with the command); the environment is cleared
# but for what is passed as NAME=VALUE before the command.
in_root() {
  local dir=$1; shift
  unshare -m --propagation private -- sh -c '
    dir=$1; cache=$2; shift 2
    mount -t proc proc "$dir/proc" && mount --rbind /dev "$dir/dev" &&
      mount --bind "$cache" "$dir/var/cache/apt/archives" &&
      exec chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"' \
    sh "$dir" "$CACHE/apt-archives" "$@"
}
expect_in() {  # expect_in DIR TEXT COMMAND...: exit 0 and TEXT in the output
  local dir=$1 text=$2; shift 2
  local out
  if ! out=$(in_root "$dir" "$@" 2>&1); then bad "$* failed: $out"; return; fi
  [[ "$out" == *"$text"* ]] && ok || bad "$*: no \"$text\" in: $out"
}

# --- 1. the package alone in a bare root
step "installing $(basename "$DEB") into a bare root"
B=$RUN/bare
fresh_root "$B"
before=$(in_root "$B" dpkg-query -W -f '${Package}\n' | sort)
cp "$DEB" "$B/tmp/kestrel-pack.deb"
expect_in "$B" "Setting up kestrel-pack" dpkg -i /tmp/kestrel-pack.deb
after=$(in_root "$B" dpkg-query -W -f '${Package}\n' | sort)
added=$(comm -13 <(echo "$before") <(echo "$after") | tr '\n' ' ')
[ "$added" = "kestrel-pack " ] && ok || bad "installing the package added: $added"
expect_in "$B" "/usr/lib/kestrel/setup.exe: Kestrel setup" kestrel-pack --version
in_root "$B" kestrel-pack --version
expect_in "$B" "usage: kestrel-pack build MANIFEST" kestrel-pack help build
cp -r "$ROOT/examples/sample" "$B/root/sample"
expect_in "$B" "packed 4 files" sh -c 'cd /root/sample && kestrel-pack build kestrel.toml -o /root/sample-setup.exe'
expect_in "$B" "4 files verified" kestrel-pack verify /root/sample-setup.exe
expect_in "$B" "Sample Tool" kestrel-pack list /root/sample-setup.exe
expect_in "$B" "/usr/share/doc/kestrel-pack/docs/manifest.md" dpkg -L kestrel-pack
[ -s "$B/usr/share/man/man1/kestrel-pack.1.gz" ] && ok || bad "no man page"

# --- 2. the container recipe, step by step
step "carrying out examples/ci/Containerfile in a second root"
I=$RUN/image
context=$RUN/context
rm -rf "$context" && mkdir -p "$context" && cp "$DEB" "$context/"
python3 - "$ROOT/examples/ci/Containerfile" >"$RUN/recipe.sh" <<'PY'
import shlex, sys
lines, cur = [], ""
for raw in open(sys.argv[1]):
    line = raw.rstrip("\n")
    if not cur and (not line.strip() or line.lstrip().startswith("#")):
        continue
    if line.endswith("\\"):
        cur += line[:-1] + " "
        continue
    lines.append(cur + line); cur = ""
for l in lines:
    op, _, arg = l.strip().partition(" ")
    if op == "FROM":
        if arg.strip() not in ("debian:12-slim", "debian:12", "debian:bookworm", "debian:bookworm-slim"):
            sys.exit("not a Debian 12 image: " + arg)
    elif op == "COPY":
        *src, dst = shlex.split(arg)
        print("copy " + " ".join(shlex.quote(s) for s in src) + " " + shlex.quote(dst))
    elif op == "RUN":
        print("run " + shlex.quote(arg.strip()))
    else:
        sys.exit("the recipe's " + op + " is not carried out by this test")
PY
fresh_root "$I"
copy() {  # COPY SRC... DST, from the build context
  local dst=${*: -1} n=$(($# - 1)) s
  for s in "${@:1:$n}"; do (cd "$context" && cp $s "$I/$dst"); done
}
run() { in_root "$I" DEBIAN_FRONTEND=noninteractive /bin/sh -c "$1"; }
if (source "$RUN/recipe.sh") >"$RUN/recipe.log" 2>&1; then ok; else bad "the recipe failed: $(tail -n 5 "$RUN/recipe.log")"; fi
grep -q "kestrel-pack 5" "$RUN/recipe.log" && ok || bad "the image's kestrel-pack did not answer"

# --- 3. the workflow's commands, twice, in the image
step "running the workflow's commands on two checkouts"
certs=$RUN/certs
rm -rf "$certs" && mkdir -p "$certs"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Acme Test Signing" \
  -keyout "$certs/key.pem" -out "$certs/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$certs/key.pem" -in "$certs/cert.pem" -passout pass:pfx-secret \
  -out "$certs/signing.pfx"
# the product's repository: the sample, one commit
repo=$RUN/repo
rm -rf "$repo" && cp -r "$ROOT/examples/sample" "$repo"
git -C "$repo" init -q && git -C "$repo" add -A &&
  GIT_AUTHOR_DATE=@1700000000 GIT_COMMITTER_DATE=@1700000000 \
    git -C "$repo" -c user.name=Acme -c user.email=ci@example.com commit -qm "Acme Notes 1.0"
/usr/bin/python3 - "$ROOT/examples/ci/setup-release.yml" "$RUN/steps" <<'PY'
import os, re, sys, yaml
flow = yaml.safe_load(open(sys.argv[1]))
job = next(iter(flow["jobs"].values()))
os.makedirs(sys.argv[2], exist_ok=True)
for i, s in enumerate(job["steps"]):
    name = os.path.join(sys.argv[2], "%02d" % i)
    if "uses" in s:
        # stood in for by the test: the checkout is made beforehand, the upload is checked after
        open(name + ".uses", "w").write(s["uses"] + "\n" + str((s.get("with") or {}).get("path", "")))
        continue
    env = []
    for k, v in (s.get("env") or {}).items():
        m = re.fullmatch(r"\$\{\{\s*(secrets|vars)\.(\w+)\s*\}\}", str(v))
        # a secret or variable comes from the test's environment under its own name
        env.append("%s=%s" % (k, "${%s:-}" % m.group(2) if m else v))
    open(name + ".sh", "w").write("".join("export %s\n" % e for e in env) + s["run"])
PY
export SIGNING_PFX_BASE64 SIGNING_PFX_PASSWORD=pfx-secret TIMESTAMP_URL=
SIGNING_PFX_BASE64=$(base64 -w0 "$certs/signing.pfx")
for n in 1 2; do
  ws=$I/github/workspace$n
  rm -rf "$ws" && mkdir -p "$(dirname "$ws")"
  : >"$RUN/workflow$n.log"
  git clone -q "$repo" "$ws"  # actions/checkout: a fresh clone, its files dated now
  [ "$n" = 2 ] && find "$ws" -exec touch -d '2031-01-01' {} +
  for s in "$RUN"/steps/*; do
    case $s in
      *.uses) continue ;;
    esac
    cp "$s" "$I/tmp/step.sh"
    if ! in_root "$I" PATH=/usr/bin:/bin HOME=/root RUNNER_TEMP=/tmp \
      SIGNING_PFX_BASE64="$SIGNING_PFX_BASE64" SIGNING_PFX_PASSWORD="$SIGNING_PFX_PASSWORD" \
      TIMESTAMP_URL="$TIMESTAMP_URL" GITHUB_WORKSPACE="/github/workspace$n" \
      bash -e -c "cd /github/workspace$n && . /tmp/step.sh" >>"$RUN/workflow$n.log" 2>&1; then
      bad "workflow step $(basename "$s") failed on checkout $n: $(tail -n 5 "$RUN/workflow$n.log")"
    fi
  done
  for u in "$RUN"/steps/*.uses; do
    if grep -q upload-artifact "$u"; then
      path=$(sed -n 2p "$u")
      [ -s "$ws/$path/acme-setup.exe" ] && [ -s "$ws/$path/acme-setup.exe.sha256" ] && ok ||
        bad "the upload step's $path lacks the setup file or its checksum"
    fi
  done
done
one=$I/github/workspace1/dist/acme-setup.exe two=$I/github/workspace2/dist/acme-setup.exe
if cmp -s "$one" "$two"; then ok; else bad "the two signed builds differ: $(cmp "$one" "$two" 2>&1)"; fi
if osslsigncode verify -CAfile "$certs/cert.pem" -in "$one" >"$RUN/verify.log" 2>&1; then ok; else
  bad "the signature does not verify: $(tail -n 3 "$RUN/verify.log")"
fi
echo "signed setup file: $(sha256sum "$one" | cut -c1-16)... in both checkouts, $(stat -c %s "$one") bytes"

rm -rf "$B" "$I"
step "done"
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
