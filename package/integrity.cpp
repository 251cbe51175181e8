#include "package/integrity.h"

#include <memory>

#include "package/extension.h"

namespace kestrel {
namespace {

// Large enough that the system calls cost little beside the CRC, small enough that each piece is
// still in the processor's cache when the CRC runs over it (measured: 128 KiB beat 1 MiB by a
// third).
constexpr std::uint32_t kCheckPiece = 1u << 17;

}  // namespace

void EncodePackageChecksum(const PackageChecksum& c, std::uint8_t (&out)[kPackageChecksumBytes]) {
  StoreLe32(out, c.crc);
  StoreLe64(out + 4, c.length);
}

bool DecodePackageChecksum(std::span<const std::uint8_t> item, PackageChecksum& out) {
  if (item.size() != kPackageChecksumBytes) return false;
  out.crc = LoadLe32(item.data());
  out.length = LoadLe64(item.data() + 4);
  return true;
}

std::uint32_t ContinueWithRecord(std::uint32_t crc, const ConfigRecord& config) {
  return Crc32(&config, kChecksummedRecordBytes, crc);
}

PackageCheck CheckPackage(PackageFile& file, const ConfigRecord& config, std::int64_t recordpos) {
  const auto region = std::span(config.reserved11628);
  // a flipped bit in the extension must not pass for an older packer's zeros, which would turn
  // the check off
  if (ExtensionView::Classify(region) == ExtensionState::kDamaged) return PackageCheck::kDamaged;
  const auto ext = ExtensionView::Parse(region);
  if (!ext) return PackageCheck::kUnchecked;
  const auto item = ext->Find(ConfigTag::kPackageChecksum);
  if (!item) return PackageCheck::kUnchecked;
  PackageChecksum want;
  if (!DecodePackageChecksum(*item, want)) return PackageCheck::kDamaged;
  const std::int64_t start = config.packageoffset;
  // a cut or lengthened region is known before a byte is read
  if (start < 0 || recordpos < start ||
      static_cast<std::uint64_t>(recordpos - start) != want.length) {
    return PackageCheck::kDamaged;
  }
  if (!file.Seek(start)) return PackageCheck::kDamaged;
  auto buffer = std::make_unique<std::uint8_t[]>(kCheckPiece);
  std::uint32_t crc = 0;
  std::int64_t left = recordpos - start;
  while (left > 0) {
    const std::uint32_t want_n = left < static_cast<std::int64_t>(kCheckPiece)
                                     ? static_cast<std::uint32_t>(left)
                                     : kCheckPiece;
    std::uint32_t n = want_n;
    // the end of the file before the record: cut short
    if (file.Read(buffer.get(), n) == 0) return PackageCheck::kDamaged;
    crc = Crc32(buffer.get(), n, crc);
    left -= n;
  }
  crc = ContinueWithRecord(crc, config);
  return crc == want.crc ? PackageCheck::kOk : PackageCheck::kDamaged;
}

}  // namespace kestrel
