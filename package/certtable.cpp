#include "package/certtable.h"

#include <algorithm>
#include <cstring>

#include "package/extension.h"

namespace kestrel {
namespace {

constexpr std::size_t kDosHeaderBytes = 64;
constexpr std::size_t kLfanewAt = 0x3C;
constexpr std::size_t kCoffBytes = 20;
constexpr std::size_t kSizeOfOptionalHeaderAt = 16;  // within the COFF header
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::size_t kChecksumAt = 64;  // within the optional header, both kinds
constexpr std::size_t kCertificateEntry = 4;
// "PE\0\0", the COFF header and the largest optional header up to directory entry 4
constexpr std::size_t kNtBytesNeeded = 4 + kCoffBytes + 112 + (kCertificateEntry + 1) * 8;

std::uint16_t Le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// `nt` holds `n` bytes read at file offset `lfanew`.
bool ParseNt(const std::uint8_t* nt, std::size_t n, std::uint32_t lfanew, PeSignatureFields& out) {
  if (n < 4 + kCoffBytes + 2 || std::memcmp(nt, "PE\0\0", 4) != 0) return false;
  const std::size_t optional_size = Le16(nt + 4 + kSizeOfOptionalHeaderAt);
  const std::uint8_t* opt = nt + 4 + kCoffBytes;
  const std::size_t room = std::min(n - 4 - kCoffBytes, optional_size);
  const std::uint16_t magic = Le16(opt);
  std::size_t count_at = 0, dirs_at = 0;
  if (magic == kPe32Magic) {
    count_at = 92, dirs_at = 96;
  } else if (magic == kPe32PlusMagic) {
    count_at = 108, dirs_at = 112;
  } else {
    return false;
  }
  const std::size_t entry = dirs_at + kCertificateEntry * 8;
  if (room < entry + 8) return false;
  if (LoadLe32(opt + count_at) <= kCertificateEntry) return false;
  const std::int64_t opt_at = std::int64_t{lfanew} + 4 + kCoffBytes;
  out.checksum_at = opt_at + static_cast<std::int64_t>(kChecksumAt);
  out.entry_at = opt_at + static_cast<std::int64_t>(entry);
  out.checksum = LoadLe32(opt + kChecksumAt);
  out.address = LoadLe32(opt + entry);
  out.size = LoadLe32(opt + entry + 4);
  return true;
}

bool ReadExactly(PackageFile& file, void* buffer, std::uint32_t n, std::int64_t position) {
  std::uint32_t got = n;
  return file.ReadAt(buffer, got, position) == n;
}

}  // namespace

bool ParsePeSignatureFields(std::span<const std::uint8_t> bytes, PeSignatureFields& out) {
  if (bytes.size() < kDosHeaderBytes || bytes[0] != 'M' || bytes[1] != 'Z') return false;
  const std::uint32_t lfanew = LoadLe32(bytes.data() + kLfanewAt);
  if (lfanew < kDosHeaderBytes / 2 || lfanew >= bytes.size()) return false;
  PeSignatureFields f;
  if (!ParseNt(bytes.data() + lfanew, bytes.size() - lfanew, lfanew, f)) return false;
  out = f;
  return true;
}

bool ReadPeSignatureFields(PackageFile& file, PeSignatureFields& out) {
  std::uint8_t dos[kDosHeaderBytes];
  if (!ReadExactly(file, dos, sizeof dos, 0) || dos[0] != 'M' || dos[1] != 'Z') return false;
  const std::uint32_t lfanew = LoadLe32(dos + kLfanewAt);
  const std::int64_t size = file.Size();
  if (lfanew < kDosHeaderBytes / 2 || lfanew >= size) return false;
  std::uint8_t nt[kNtBytesNeeded];
  const auto n = static_cast<std::uint32_t>(
      std::min<std::int64_t>(static_cast<std::int64_t>(sizeof nt), size - lfanew));
  if (!ReadExactly(file, nt, n, lfanew)) return false;
  PeSignatureFields f;
  if (!ParseNt(nt, n, lfanew, f)) return false;
  out = f;
  return true;
}

PackageExtent FindPackageEnd(PackageFile& file) {
  PackageExtent extent;
  const std::int64_t size = file.Size();
  extent.end = size;
  PeSignatureFields f;
  if (size <= 0 || !ReadPeSignatureFields(file, f)) return extent;
  if (f.address == 0 || f.size == 0) return extent;  // not signed (or half an entry: damage)
  const std::int64_t table_end = std::int64_t{f.address} + f.size;  // no overflow in 64 bits
  if (table_end > size) {
    extent.table_past_end = true;
    return extent;
  }
  const std::int64_t tail = size - table_end;
  // the table must lie behind the headers, and only its padding may follow it
  if (f.address <= f.entry_at || tail >= kCertificateAlignment) return extent;
  if (tail > 0) {
    std::uint8_t pad[kCertificateAlignment] = {};
    if (!ReadExactly(file, pad, static_cast<std::uint32_t>(tail), table_end)) return extent;
    for (std::int64_t i = 0; i < tail; ++i)
      if (pad[i] != 0) return extent;
  }
  extent.end = f.address;
  extent.signed_ = true;
  return extent;
}

void EncodeStubSignature(const StubSignature& s, std::uint8_t (&out)[kStubSignatureBytes]) {
  StoreLe32(out, s.address);
  StoreLe32(out + 4, s.size);
  StoreLe32(out + 8, s.checksum);
}

bool DecodeStubSignature(std::span<const std::uint8_t> item, StubSignature& out) {
  if (item.size() != kStubSignatureBytes) return false;
  out.address = LoadLe32(item.data());
  out.size = LoadLe32(item.data() + 4);
  out.checksum = LoadLe32(item.data() + 8);
  return true;
}

UninstallerPatch PlanUninstallerPatch(PackageFile& program, const ConfigRecord& config) {
  UninstallerPatch patch;
  PeSignatureFields f;
  const std::int64_t length = config.packageoffset;
  if (!ReadPeSignatureFields(program, f)) return patch;
  // both fields must lie inside the copy
  if (f.checksum_at + 4 > length || f.entry_at + 8 > length) return patch;

  StubSignature stub;
  bool restore = false;
  const auto region = std::span(config.reserved11628);
  if (auto ext = ExtensionView::Parse(region)) {
    if (auto item = ext->Find(ConfigTag::kStubSignature)) {
      // the stub's table is the end of the program part; anything else would name bytes the
      // copy does not hold
      restore = DecodeStubSignature(*item, stub) && stub.size > 0 &&
                std::int64_t{stub.address} + stub.size == length && stub.address > f.entry_at;
    }
  }
  if (!restore) {
    // an unsigned program part is copied as it is
    if (f.address == 0 && f.size == 0) return patch;
    stub = StubSignature{};
  }
  ProgramPatch& sum = patch.patches[patch.count++];
  sum.offset = f.checksum_at;
  sum.length = 4;
  StoreLe32(sum.bytes, stub.checksum);
  ProgramPatch& entry = patch.patches[patch.count++];
  entry.offset = f.entry_at;
  entry.length = 8;
  StoreLe32(entry.bytes, stub.address);
  StoreLe32(entry.bytes + 4, stub.size);
  return patch;
}

void ApplyUninstallerPatch(const UninstallerPatch& patch, std::int64_t position,
                           std::uint8_t* piece, std::uint32_t n) {
  for (int i = 0; i < patch.count; ++i) {
    const ProgramPatch& p = patch.patches[i];
    for (std::uint32_t k = 0; k < p.length; ++k) {
      const std::int64_t at = p.offset + k - position;
      if (at >= 0 && at < n) piece[at] = p.bytes[k];
    }
  }
}

}  // namespace kestrel
