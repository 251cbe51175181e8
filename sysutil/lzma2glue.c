/* Glue between the solid stream and the LZMA SDK's LZMA2 decoder (see lzma2glue.h). */
#include "sysutil/lzma2glue.h"

#include "Lzma2Dec.h"

/* the C runtime's heap, through the compiler's names for it: a failure is reported, never fatal */
static void* GlueAlloc(void* p, size_t size) {
  (void)p;
  return size ? __builtin_malloc(size) : 0;
}
static void GlueFree(void* p, void* address) {
  (void)p;
  __builtin_free(address);
}
static ISzAlloc glue_alloc = {GlueAlloc, GlueFree};

kestrel_lzma2_size kestrel_lzma2_state_bytes(void) {
  return sizeof(CLzma2Dec);
}

unsigned long long kestrel_lzma2_dictionary(unsigned char prop) {
  if (prop > 40) return 0;
  if (prop == 40) return 0xFFFFFFFFull;
  return (unsigned long long)(2u | (prop & 1u)) << (prop / 2 + 11);
}

int kestrel_lzma2_open(void* state, unsigned char prop, unsigned char* dic,
                       kestrel_lzma2_size dicsize) {
  CLzma2Dec* p = (CLzma2Dec*)state;
  Lzma2Dec_Construct(p);
  if (Lzma2Dec_AllocateProbs(p, prop, &glue_alloc) != SZ_OK)
    return prop > 40 ? KESTREL_LZMA2_CORRUPT : KESTREL_LZMA2_NO_MEMORY;
  p->decoder.dic = dic;
  p->decoder.dicBufSize = dicsize;
  Lzma2Dec_Init(p);
  return KESTREL_LZMA2_OK;
}

void kestrel_lzma2_restart(void* state) {
  CLzma2Dec* p = (CLzma2Dec*)state;
  Lzma2Dec_Init(p);
  p->decoder.dicPos = 0;
}

void kestrel_lzma2_close(void* state) {
  CLzma2Dec* p = (CLzma2Dec*)state;
  LzmaDec_FreeProbs(&p->decoder, &glue_alloc);
  p->decoder.dic = 0;
}

int kestrel_lzma2_decode(void* state, kestrel_lzma2_size limit, const unsigned char* src,
                         kestrel_lzma2_size* srclen, int finish, int* status) {
  ELzmaStatus s = LZMA_STATUS_NOT_SPECIFIED;
  SizeT n = *srclen;
  const SRes r = Lzma2Dec_DecodeToDic((CLzma2Dec*)state, limit, src, &n,
                                      finish ? LZMA_FINISH_END : LZMA_FINISH_ANY, &s);
  *srclen = n;
  *status = s == LZMA_STATUS_FINISHED_WITH_MARK ? KESTREL_LZMA2_FINISHED
            : s == LZMA_STATUS_NEEDS_MORE_INPUT ? KESTREL_LZMA2_MORE_INPUT
                                                : KESTREL_LZMA2_MORE_OUTPUT;
  return r == SZ_OK ? KESTREL_LZMA2_OK : KESTREL_LZMA2_CORRUPT;
}

kestrel_lzma2_size kestrel_lzma2_position(const void* state) {
  return ((const CLzma2Dec*)state)->decoder.dicPos;
}

void kestrel_lzma2_set_position(void* state, kestrel_lzma2_size position) {
  ((CLzma2Dec*)state)->decoder.dicPos = position;
}
