#!/usr/bin/env bash
# The side picture's decoder fed from memory, as a vendor's own picture will be: the shipped JPEG
# and the same picture as a BMP (bottom-up 24-bit, top-down 32-bit) come out at the picture's
# size with its sky and sun; a PNG, a JPEG cut before its frame header and a BMP of 5000 pixels
# are refused. The wizard's own picture is checked on its screenshots (check_picture).
# Sourced by run.sh (its prefix, helpers and counters).

P_DIR=$WORK/pictures
rm -rf "$P_DIR"
mkdir -p "$P_DIR"
cp "$ROOT/setup/sidepicture.jpg" "$P_DIR/side.jpg"
/usr/bin/convert "$P_DIR/side.jpg" -type truecolor BMP3:"$P_DIR/side24.bmp"
/usr/bin/convert "$P_DIR/side.jpg" "$P_DIR/side.png"
head -c 20 "$P_DIR/side.jpg" >"$P_DIR/cut.jpg"
$PY - "$P_DIR" <<'EOF'
import struct, sys
d = sys.argv[1]
b = open(d + "/side24.bmp", "rb").read()
off, w, h = struct.unpack_from("<I", b, 10)[0], *struct.unpack_from("<ii", b, 18)
stride = (w * 3 + 3) & ~3
rows = [b[off + y * stride: off + y * stride + w * 3] for y in range(h)][::-1]  # top row first
px = b"".join(b"".join(r[i:i + 3] + b"\0" for i in range(0, w * 3, 3)) for r in rows)
info = struct.pack("<IiiHHIIiiII", 40, w, -h, 1, 32, 0, len(px), 2835, 2835, 0, 0)
open(d + "/side32.bmp", "wb").write(b"BM" + struct.pack("<IHHI", 54 + len(px), 0, 0, 54) + info + px)
big = bytearray(b)
struct.pack_into("<i", big, 18, 5000)
open(d + "/wide.bmp", "wb").write(big)
EOF
# the sky and sun as the host's own JPEG decoder sees them
p_want() { /usr/bin/convert "$P_DIR/side.jpg" -format "%[pixel:p{$1}]" info: | tr -d 'srgb()'; }
P_SKY=$(p_want 20,20) P_SUN=$(p_want 88,78)
(cd "$P_DIR" && timeout -k 5 60 $W "$HELPER" picture side.jpg side24.bmp side32.bmp side.png \
  cut.jpg wide.bmp >"$WORK/picture.log" 2>&1)
tr -d '\r' <"$WORK/picture.log" >"$WORK/picture.txt"
# p_same FILE TOLERANCE: the file decoded at 131x303 with the sky and sun within TOLERANCE
p_same() {
  local line
  line=$(grep "^picture $1 " "$WORK/picture.txt")
  if $PY - "$line" "$P_SKY" "$P_SUN" "$2" <<'EOF'; then ok; else bad "picture: $1: '$line', want sky $P_SKY sun $P_SUN"; fi
import re, sys
line, sky, sun, tol = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
m = re.search(r" 131x303 p20,20=(\S+) p88,78=(\S+)$", line)
near = lambda a, b: all(abs(int(x) - int(y)) <= tol for x, y in zip(a.split(","), b.split(",")))
sys.exit(0 if m and near(m.group(1), sky) and near(m.group(2), sun) else 1)
EOF
}
p_same side.jpg 3  # another JPEG decoder may round an IDCT step differently
p_same side24.bmp 0
p_same side32.bmp 0
for f in side.png cut.jpg wide.bmp; do expect "$WORK/picture.txt" "picture $f none"; done
