// The guarded extension format: how new data lives in a record's reserved bytes.
//
// A region that holds an extension starts with the magic "KXT1", a 16-bit payload length, the
// payload and a CRC-32 of magic, length and payload. A region without the magic (zeros from an
// older packer, noise) reads as "absent", so every package already made behaves exactly as
// before; a region that begins with the magic but fails its check (a flipped bit, a tail cut
// short and zero-filled) is damage, which readers that guard something must refuse rather than
// take for an older packer's zeros. The payload is a run of items: a tag byte, a 16-bit length and
// that many bytes; a tag of 0 ends the run early. Readers skip tags they do not know, so newer
// packers stay readable.
//
// Parsing never allocates: items are views into the caller's region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace kestrel {

// CRC-32 (IEEE 802.3, reflected, as zip and PNG use it). `crc` continues an earlier call's result.
std::uint32_t Crc32(const void* data, std::size_t size, std::uint32_t crc = 0);

inline constexpr std::string_view kExtensionMagic = "KXT1";
inline constexpr std::size_t kExtensionOverhead = 4 + 2 + 4;  // magic, length, CRC-32
inline constexpr std::size_t kExtensionItemOverhead = 1 + 2;  // tag, length

// Tags of the Configuration record's reserved tail.
enum class ConfigTag : std::uint8_t {
  kPublisher = 1,         // short text, code page bytes
  kUrl = 2,               // short text, code page bytes
  kStubSignature = 3,     // the signed stub's certificate-table entry and PE checksum
  kPackageChecksum = 4,   // integrity of the package region
  kCompactDirectory = 5,  // where the compressed directory lies
  // A solid package's compact directory, under a tag of its own so that a setup program that
  // knows compact directories but not the codec falls back on the classic placeholder and refuses.
  kSolidDirectory = 6,
  kSolidStream = 7,  // the codec and where the solid stream lies
  kProductId = 8,    // the product's identity: names its Uninstall key (package/identity.h)
  kLocale = 9,       // names in any script, languages and brand (package/locale.h)
  kScope = 10,       // one byte: for every user, one user or either (package/scope.h)
};

// Tags of the Package header's reserved bytes.
enum class HeaderTag : std::uint8_t {
  kPassword = 1,  // salt, iteration count, verifier
};

// Tags of a Directory record's reserved bytes.
enum class FileTag : std::uint8_t {
  kContentCrc = 1,  // CRC-32 of the file's decoded bytes
};

// What a region holds.
enum class ExtensionState {
  kAbsent,   // no magic: an older packer's zeros, or noise
  kValid,    // magic, length, CRC-32 and items all sound
  kDamaged,  // the magic, and anything wrong behind it
};

class ExtensionView {
 public:
  // The extension in `region`, or nothing when the region does not hold a valid one.
  static std::optional<ExtensionView> Parse(std::span<const std::uint8_t> region);
  // Whether the region holds no extension, a sound one or a damaged one.
  static ExtensionState Classify(std::span<const std::uint8_t> region);

  // The first item with this tag; nothing when absent.
  std::optional<std::span<const std::uint8_t>> Find(std::uint8_t tag) const;
  template <typename Tag>
  std::optional<std::span<const std::uint8_t>> Find(Tag tag) const {
    return Find(static_cast<std::uint8_t>(tag));
  }

 private:
  explicit ExtensionView(std::span<const std::uint8_t> payload) : payload_(payload) {}
  std::span<const std::uint8_t> payload_;
};

// Builds an extension into a fixed region. The region is zero-filled behind the extension.
class ExtensionBuilder {
 public:
  explicit ExtensionBuilder(std::span<std::uint8_t> region) : region_(region) {}

  // False (and nothing added) when the item would not fit the region.
  bool Add(std::uint8_t tag, std::span<const std::uint8_t> bytes);
  template <typename Tag>
  bool Add(Tag tag, std::span<const std::uint8_t> bytes) {
    return Add(static_cast<std::uint8_t>(tag), bytes);
  }
  bool Add(std::uint8_t tag, std::string_view text) {
    return Add(tag, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  }
  template <typename Tag>
  bool Add(Tag tag, std::string_view text) {
    return Add(static_cast<std::uint8_t>(tag), text);
  }

  // Writes magic, length, items and CRC-32 into the region. With no items the region is left
  // all zeros, exactly as an older packer wrote it.
  void Finish();

  std::size_t PayloadSize() const { return used_; }

 private:
  std::span<std::uint8_t> region_;
  std::size_t used_ = 0;  // payload bytes written behind the 6-byte head
};

// Little-endian field helpers for item payloads.
inline std::uint32_t LoadLe32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint64_t LoadLe64(const std::uint8_t* p) {
  return LoadLe32(p) | static_cast<std::uint64_t>(LoadLe32(p + 4)) << 32;
}
inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void StoreLe64(std::uint8_t* p, std::uint64_t v) {
  StoreLe32(p, static_cast<std::uint32_t>(v));
  StoreLe32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

}  // namespace kestrel
