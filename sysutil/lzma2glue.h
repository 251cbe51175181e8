/* The few calls of the LZMA SDK's LZMA2 decoder that the solid stream and the packed English
   texts use, behind a plain C interface that names none of the SDK's types, so the portable
   core needs no SDK header. */
#ifndef KESTREL_SYSUTIL_LZMA2GLUE_H
#define KESTREL_SYSUTIL_LZMA2GLUE_H

#ifdef __cplusplus
extern "C" {
#endif

typedef __SIZE_TYPE__ kestrel_lzma2_size;

enum {
  KESTREL_LZMA2_OK = 0,
  KESTREL_LZMA2_CORRUPT = 1,  /* the stream is not valid LZMA2 */
  KESTREL_LZMA2_NO_MEMORY = 2 /* the probability tables could not be had */
};
enum {
  KESTREL_LZMA2_MORE_OUTPUT = 0, /* stopped at the output limit */
  KESTREL_LZMA2_MORE_INPUT = 1,  /* all input used, the stream goes on */
  KESTREL_LZMA2_FINISHED = 2     /* the stream's end mark was read */
};

/* Bytes of the decoder state the caller provides (aligned for any type). */
kestrel_lzma2_size kestrel_lzma2_state_bytes(void);
/* The dictionary size an LZMA2 dictionary byte stands for; 0 for a byte over 40. */
unsigned long long kestrel_lzma2_dictionary(unsigned char prop);
/* Prepares `state` to decode into `dic`, a circular buffer of `dicsize` bytes (at least the
   dictionary size of `prop`); the probability tables (28 KB) are allocated here. */
int kestrel_lzma2_open(void* state, unsigned char prop, unsigned char* dic,
                       kestrel_lzma2_size dicsize);
/* Starts the stream over, at dictionary position 0. */
void kestrel_lzma2_restart(void* state);
void kestrel_lzma2_close(void* state);
/* Decodes from `src` (`*srclen` bytes; on return the bytes used) into the dictionary from its
   position up to `limit`. `finish`: at the limit, read on to the stream's end mark. */
int kestrel_lzma2_decode(void* state, kestrel_lzma2_size limit, const unsigned char* src,
                         kestrel_lzma2_size* srclen, int finish, int* status);
kestrel_lzma2_size kestrel_lzma2_position(const void* state);
void kestrel_lzma2_set_position(void* state, kestrel_lzma2_size position);

#ifdef __cplusplus
}
#endif

#endif
