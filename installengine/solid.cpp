#include "installengine/solid.h"

#include <algorithm>
#include <new>

#include "sysutil/lzma2glue.h"

namespace kestrel {
namespace {

std::int64_t StreamStart(std::int32_t packageoffset, std::int64_t dataoffset) {
  std::int64_t start = 0;
  if (dataoffset < 0 || __builtin_add_overflow(std::int64_t{packageoffset}, dataoffset, &start))
    return -1;
  return start;
}

}  // namespace

SolidStream::SolidStream(PackageFile& package, std::int32_t packageoffset,
                         const SolidStreamRef& ref, const CipherState* cipher, bool threaded)
    : package_(package),
      start_(StreamStart(packageoffset, ref.dataoffset)),
      ref_(ref),
      cipher_(cipher),
      threaded_(threaded) {}

SolidStream::~SolidStream() {
  Stop();
  if (state_open_) kestrel_lzma2_close(state_.get());
}

std::uint64_t SolidStream::HeldBytes(std::uint64_t dictionary) {
  const std::uint64_t ring =
      (std::max<std::uint64_t>(dictionary, 4 * kSlotBytes) + kSlotBytes - 1) / kSlotBytes *
      kSlotBytes;
  return ring + kTransferBufferSize + 28 * 1024;
}

SolidStream::Fault SolidStream::Open() {
  const std::uint64_t dictionary = Lzma2DictionaryBytes(ref_.dictionary);
  if (ref_.codec != Codec::kLzma2 || dictionary == 0 || dictionary > kMaxSolidDictionary ||
      start_ < 0) {
    return Fault::kCorrupt;
  }
  slots_ = static_cast<std::size_t>(
      (std::max<std::uint64_t>(dictionary, 4 * kSlotBytes) + kSlotBytes - 1) / kSlotBytes);
  const std::size_t state_units =
      (kestrel_lzma2_state_bytes() + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
  ring_.reset(new (std::nothrow) std::uint8_t[slots_ * kSlotBytes]);
  state_.reset(new (std::nothrow) std::max_align_t[state_units]);
  lengths_.reset(new (std::nothrow) std::uint32_t[slots_]);
  faults_.reset(new (std::nothrow) Fault[slots_]);
  block_.reset(new (std::nothrow) std::uint8_t[kTransferBufferSize]);
  if (!ring_ || !state_ || !lengths_ || !faults_ || !block_) return Fault::kNoMemory;
  const int r = kestrel_lzma2_open(state_.get(), ref_.dictionary, ring_.get(), slots_ * kSlotBytes);
  if (r != KESTREL_LZMA2_OK)
    return r == KESTREL_LZMA2_NO_MEMORY ? Fault::kNoMemory : Fault::kCorrupt;
  state_open_ = true;
  return Fault::kNone;
}

void SolidStream::Stop() {
  if (worker_) {
    stop_.store(true, std::memory_order_relaxed);
    free_->Release();  // wakes a decoder waiting for a slot
    worker_.reset();   // waits for it
  }
  started_ = false;
}

SolidStream::Fault SolidStream::Restart() {
  Stop();
  stop_.store(false, std::memory_order_relaxed);
  kestrel_lzma2_restart(state_.get());
  block_at_ = block_end_ = 0;
  blocks_ = packed_read_ = decoded_ = 0;
  take_slot_ = take_at_ = 0;
  last_block_ = holding_ = ended_ = false;
  position_ = 0;
  started_ = true;
  if (threaded_) {
    free_ = NewSemaphore(static_cast<std::uint32_t>(slots_));
    full_ = NewSemaphore(0);
    if (free_ && full_) worker_ = StartWorker(RunDecoder, this);
    // without a thread the file step decodes each slot itself when it needs one
  }
  return Fault::kNone;
}

void SolidStream::RunDecoder(void* self) {
  static_cast<SolidStream*>(self)->DecodeAll();
}

void SolidStream::DecodeAll() {
  for (std::size_t slot = 0;; slot = (slot + 1) % slots_) {
    free_->Acquire();
    if (stop_.load(std::memory_order_relaxed)) return;
    const bool more = DecodeSlot(slot);
    full_->Release();
    if (!more) return;
  }
}

SolidStream::Fault SolidStream::ReadBlock() {
  if (last_block_ || start_ < 0) return Fault::kCorrupt;
  if (blocks_ == 0 && !package_.Seek(start_)) return Fault::kReadFailed;
  BlockHeader h{};
  std::uint32_t n = kBlockHeaderSize;
  if (package_.Read(&h, n) != kBlockHeaderSize) return Fault::kCorrupt;  // the stream is cut
  if (h.marker != kBlockMarker || h.coded != 0 || h.bitcount == 0 || h.bitcount % 8 != 0 ||
      h.bitcount > kMaxBlockBits) {
    return Fault::kCorrupt;
  }
  const std::uint32_t want = PayloadBytes(h.bitcount);
  n = want;
  if (package_.Read(block_.get(), n) != want) return Fault::kReadFailed;
  if (cipher_) {
    DecipherPayload(*cipher_, block_.get(), want, SolidChainLeft(ref_, blocks_), ref_.chainright);
  }
  block_at_ = 0;
  block_end_ = h.bitcount / 8;
  packed_read_ += block_end_;
  ++blocks_;
  last_block_ = h.lastblock == 1;
  return packed_read_ > ref_.packed ? Fault::kCorrupt : Fault::kNone;
}

// Decodes into the dictionary up to `limit`, reading blocks as the decoder asks for them.
SolidStream::Fault SolidStream::DecodeUntil(std::size_t limit) {
  void* s = state_.get();
  while (kestrel_lzma2_position(s) < limit) {
    if (block_at_ == block_end_) {
      if (const Fault f = ReadBlock(); f != Fault::kNone) return f;
    }
    const std::size_t before = kestrel_lzma2_position(s);
    kestrel_lzma2_size used = block_end_ - block_at_;
    int status = 0;
    if (kestrel_lzma2_decode(s, limit, block_.get() + block_at_, &used, 0, &status) !=
        KESTREL_LZMA2_OK) {
      return Fault::kCorrupt;
    }
    block_at_ += used;
    const bool moved = used != 0 || kestrel_lzma2_position(s) != before;
    // the end mark before the content's end, or a decoder that can go no further
    if (status == KESTREL_LZMA2_FINISHED && kestrel_lzma2_position(s) < limit)
      return Fault::kCorrupt;
    // no progress with input left: a chunk whose packed bytes ran out before its content did
    if (!moved && (status != KESTREL_LZMA2_MORE_INPUT || block_at_ != block_end_)) {
      return Fault::kCorrupt;
    }
  }
  return Fault::kNone;
}

// After the last byte: the end mark, then nothing left of the stream's blocks.
SolidStream::Fault SolidStream::FinishStream() {
  void* s = state_.get();
  const std::size_t at = kestrel_lzma2_position(s);
  for (;;) {
    kestrel_lzma2_size used = block_end_ - block_at_;
    int status = 0;
    if (kestrel_lzma2_decode(s, at, block_.get() + block_at_, &used, 1, &status) !=
        KESTREL_LZMA2_OK) {
      return Fault::kCorrupt;
    }
    block_at_ += used;
    if (status == KESTREL_LZMA2_FINISHED) break;
    if (status != KESTREL_LZMA2_MORE_INPUT || block_at_ != block_end_) return Fault::kCorrupt;
    if (const Fault f = ReadBlock(); f != Fault::kNone) return f;
  }
  if (block_at_ != block_end_ || !last_block_ || packed_read_ != ref_.packed)
    return Fault::kCorrupt;
  return Fault::kNone;
}

bool SolidStream::DecodeSlot(std::size_t slot) {
  const std::size_t begin = slot * kSlotBytes;
  const std::uint64_t left = ref_.unpacked - decoded_;
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kSlotBytes, left));
  kestrel_lzma2_set_position(state_.get(), begin);
  Fault f = DecodeUntil(begin + n);
  const std::size_t made = kestrel_lzma2_position(state_.get()) - begin;
  decoded_ += made;
  if (f == Fault::kNone && decoded_ == ref_.unpacked) f = FinishStream();
  lengths_[slot] = static_cast<std::uint32_t>(made);
  faults_[slot] = f;
  return f == Fault::kNone && decoded_ < ref_.unpacked;
}

SolidStream::Fault SolidStream::TakeSlot() {
  if (worker_) {
    full_->Acquire();
  } else {
    DecodeSlot(take_slot_);
  }
  holding_ = true;
  take_at_ = 0;
  const std::uint64_t after = position_ + lengths_[take_slot_];
  ended_ = faults_[take_slot_] != Fault::kNone || after == ref_.unpacked;
  return Fault::kNone;
}

void SolidStream::GiveBackSlot() {
  holding_ = false;
  take_slot_ = (take_slot_ + 1) % slots_;
  if (worker_) free_->Release();
}

SolidStream::Fault SolidStream::Next(std::size_t want, const std::uint8_t*& data,
                                     std::size_t& got) {
  got = 0;
  data = nullptr;
  if (!started_ && Restart() != Fault::kNone) return Fault::kCorrupt;
  for (;;) {
    if (!holding_) {
      if (ended_ || position_ == ref_.unpacked) return Fault::kNone;
      TakeSlot();
    }
    const std::size_t length = lengths_[take_slot_];
    if (take_at_ < length) {
      got = std::min(want, length - take_at_);
      data = ring_.get() + take_slot_ * kSlotBytes + take_at_;
      take_at_ += got;
      position_ += got;
      return Fault::kNone;
    }
    // a slot's bytes are all handed out: its fault, if any, comes with the next call
    if (faults_[take_slot_] != Fault::kNone) return faults_[take_slot_];
    GiveBackSlot();
  }
}

SolidStream::Fault SolidStream::SkipTo(std::uint64_t position) {
  if (position > ref_.unpacked) return Fault::kCorrupt;
  if (!started_ || position < position_) Restart();
  while (position_ < position) {
    const std::uint8_t* data = nullptr;
    std::size_t got = 0;
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(position - position_, kSlotBytes));
    if (const Fault f = Next(want, data, got); f != Fault::kNone) return f;
    if (got == 0) return Fault::kCorrupt;
  }
  return Fault::kNone;
}

}  // namespace kestrel
