// Reading a solid package's stream: blocks from the package, deciphered, decoded by the LZMA SDK's
// LZMA2 decoder into a circular buffer of slots that the file step writes out from.
//
// Decoding runs on a thread of its own while the file step writes (a two-stage pipeline): the
// decoder fills the next free slot, the file step takes full slots in order and hands each back
// once written, so an install takes about as long as the slower of the two stages. The buffer is
// the decoder's dictionary itself, so the pipeline costs no memory beyond it: the dictionary
// (rounded up to whole slots, at least 4 of them), 28 KB of the decoder's tables and a 64 KiB
// block buffer, all allocated by Open and none later. While the decoder runs it alone uses the
// package file; Stop gives the file back.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "decode/cipher.h"
#include "package/pkgfile.h"
#include "package/records.h"
#include "package/solid.h"
#include "sysutil/worker.h"

namespace kestrel {

class SolidStream {
 public:
  enum class Fault {
    kNone,
    kCorrupt,     // the stream is damaged or does not match its description
    kReadFailed,  // a block could not be read whole
    kNoMemory,    // the buffer could not be had (Open only)
  };
  static constexpr std::size_t kSlotBytes = std::size_t{256} << 10;

  // `cipher` is null for a plain package. `threaded` false decodes on the caller's thread.
  SolidStream(PackageFile& package, std::int32_t packageoffset, const SolidStreamRef& ref,
              const CipherState* cipher, bool threaded = true);
  ~SolidStream();
  SolidStream(const SolidStream&) = delete;
  SolidStream& operator=(const SolidStream&) = delete;

  // The memory a stream with this dictionary holds, for the limit's documentation and tests.
  static std::uint64_t HeldBytes(std::uint64_t dictionary);

  Fault Open();
  // The key of an enciphered package, known only once the password is given; null: plain.
  void SetCipher(const CipherState* cipher) {
    if (!started_) cipher_ = cipher;  // never while the decoder runs
  }
  // Up to `want` bytes from the current position on, in place: valid until the next call.
  // `got` is 0 only at the end of the stream.
  Fault Next(std::size_t want, const std::uint8_t*& data, std::size_t& got);
  // Skips to `position` (decoding from the start again when it lies behind).
  Fault SkipTo(std::uint64_t position);
  std::uint64_t position() const { return position_; }
  // Ends the decoder thread; the stream starts again from its beginning when read on.
  void Stop();

 private:
  static void RunDecoder(void* self);
  void DecodeAll();
  bool DecodeSlot(std::size_t slot);  // false: the last slot (end of stream or a fault)
  Fault DecodeUntil(std::size_t limit);
  Fault ReadBlock();
  Fault FinishStream();
  Fault TakeSlot();
  void GiveBackSlot();
  Fault Restart();

  PackageFile& package_;
  const std::int64_t start_;  // the stream's first Block header in the file; -1: unreachable
  const SolidStreamRef ref_;
  const CipherState* cipher_;
  const bool threaded_;

  std::size_t slots_ = 0;
  std::unique_ptr<std::uint8_t[]> ring_;
  std::unique_ptr<std::max_align_t[]> state_;  // the LZMA2 decoder
  bool state_open_ = false;
  std::unique_ptr<std::uint32_t[]> lengths_;  // bytes decoded into each slot
  std::unique_ptr<Fault[]> faults_;           // how each slot's decoding ended
  std::unique_ptr<Semaphore> free_, full_;
  std::unique_ptr<Worker> worker_;
  std::atomic<bool> stop_{false};

  // the decoder's side
  std::unique_ptr<std::uint8_t[]> block_;
  std::size_t block_at_ = 0, block_end_ = 0;
  std::uint64_t blocks_ = 0, packed_read_ = 0, decoded_ = 0;
  bool last_block_ = false;

  // the file step's side
  bool started_ = false;
  bool holding_ = false;  // a full slot is taken
  bool ended_ = false;    // the last slot was taken
  std::size_t take_slot_ = 0, take_at_ = 0;
  std::uint64_t position_ = 0;
};

}  // namespace kestrel
