#include "package/crc32_fold.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace kestrel {

#if defined(__x86_64__) || defined(__i386__)

bool HaveCrc32Fold() {
  // once: the answer cannot change while the program runs
  // (asked of the processor itself: the compiler's CPU model would link 5 KB of libgcc into
  // setup.exe for two bits)
  static const bool have = [] {
    unsigned a = 0, b = 0, c = 0, d = 0;
    return __get_cpuid(1, &a, &b, &c, &d) && (c & bit_PCLMUL) && (c & bit_SSE4_1);
  }();
  return have;
}

namespace {

#define KESTREL_FOLD_TARGET __attribute__((target("pclmul,sse4.1")))

KESTREL_FOLD_TARGET inline __m128i Load(const std::uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x's two halves multiplied by the two constants of k, added to the next 128 bits
KESTREL_FOLD_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  const __m128i lo = _mm_clmulepi64_si128(x, k, 0x00);
  const __m128i hi = _mm_clmulepi64_si128(x, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

}  // namespace

// Folding with carry-less multiplication, four 128-bit lanes at a time, then a Barrett
// reduction; the constants are powers of x modulo the reflected CRC-32 polynomial.
KESTREL_FOLD_TARGET std::uint32_t Crc32Fold(const std::uint8_t* p, std::size_t size,
                                            std::uint32_t state) {
  const __m128i k1k2 =
      _mm_setr_epi32(0x54442bd4, 0x00000001, static_cast<int>(0xc6e41596), 0x00000001);
  const __m128i k3k4 =
      _mm_setr_epi32(0x751997d0, 0x00000001, static_cast<int>(0xccaa009e), 0x00000000);
  const __m128i k5 = _mm_setr_epi32(0x63cd6124, 0x00000001, 0x00000000, 0x00000000);
  const __m128i poly = _mm_setr_epi32(static_cast<int>(0xdb710641), 0x00000001,
                                      static_cast<int>(0xf7011641), 0x00000001);
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);

  __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i x2 = Load(p + 16);
  __m128i x3 = Load(p + 32);
  __m128i x4 = Load(p + 48);
  p += 64;
  size -= 64;
  while (size >= 64) {
    x1 = Fold(x1, k1k2, Load(p));
    x2 = Fold(x2, k1k2, Load(p + 16));
    x3 = Fold(x3, k1k2, Load(p + 32));
    x4 = Fold(x4, k1k2, Load(p + 48));
    p += 64;
    size -= 64;
  }
  x1 = Fold(x1, k3k4, x2);
  x1 = Fold(x1, k3k4, x3);
  x1 = Fold(x1, k3k4, x4);
  while (size >= 16) {
    x1 = Fold(x1, k3k4, Load(p));
    p += 16;
    size -= 16;
  }
  // 128 bits to 64
  __m128i x = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x);
  x = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, low32);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(x1, k5, 0x00), x);
  // 64 bits to 32
  x = _mm_and_si128(x1, low32);
  x = _mm_clmulepi64_si128(x, poly, 0x10);
  x = _mm_and_si128(x, low32);
  x = _mm_clmulepi64_si128(x, poly, 0x00);
  x1 = _mm_xor_si128(x1, x);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

#else

bool HaveCrc32Fold() {
  return false;
}
std::uint32_t Crc32Fold(const std::uint8_t*, std::size_t, std::uint32_t state) {
  return state;
}

#endif

}  // namespace kestrel
