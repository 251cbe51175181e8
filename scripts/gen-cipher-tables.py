#!/usr/bin/env python3
# Writes decode/cipher_tables.h: usage scripts/gen-cipher-tables.py decode/cipher_tables.h
# hexadecimal digits of pi via Machin's formula in integer arithmetic
def arctan_inv(x, one):
    total = term = one // x
    x2 = x * x; n = 1; sign = -1
    while term:
        term //= x2
        total += sign * (term // (2 * n + 1))
        sign = -sign; n += 1
    return total
digits = 1042 * 8 + 16
one = 1 << (4 * digits + 64)
pi = 4 * (4 * arctan_inv(5, one) - arctan_inv(239, one))
pi >>= 64
frac = pi - (3 << (4 * digits))
h = format(frac, '0%dx' % digits)
words = [int(h[i*8:i*8+8], 16) for i in range(1042)]
assert words[0] == 0x243F6A88 and words[1] == 0x85A308D3 and words[17] == 0x8979FB1B
assert words[18] == 0xD1310BA6 and words[-1] == 0x3AC372E6, hex(words[-1])
out = []
out.append('// Blowfish initial values: the fractional hexadecimal digits of pi, in order.')
out.append('// Generated; P[0..17] come first, then S0[0..255] .. S3[0..255].')
out.append('#pragma once\n\n#include <cstdint>\n\nnamespace kestrel::cipher_tables {\n')
out.append('inline constexpr std::uint32_t kPiWords[1042] = {')
for i in range(0, 1042, 6):
    out.append('    ' + ', '.join('0x%08X' % w for w in words[i:i+6]) + ',')
out.append('};\n\n}  // namespace kestrel::cipher_tables')
open(__import__('sys').argv[1], 'w').write('\n'.join(out) + '\n')
print("ok")
