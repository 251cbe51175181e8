#include "package/locale.h"

#include <memory>

#include "decode/tsmufflz.h"
#include "package/extension.h"
#include "sysutil/codepage.h"

namespace kestrel {
namespace {

enum class LocaleTag : std::uint8_t { kNames = 1, kLanguage = 2, kBrand = 3, kPicture = 4 };

// Which name an entry of the names item is.
enum class NameField : std::uint8_t {
  kDisplayName = 1,
  kVersion = 2,
  kAppDataFolder = 3,
  kAssocDescription = 4,
  kShortcutCaption = 5,  // the entry's index says which
};

void PutLe(std::vector<std::uint8_t>& out, std::uint64_t v, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

void PutItem(std::vector<std::uint8_t>& out, LocaleTag tag, std::span<const std::uint8_t> bytes) {
  out.push_back(static_cast<std::uint8_t>(tag));
  PutLe(out, bytes.size(), 4);
  out.insert(out.end(), bytes.begin(), bytes.end());
}

void PutName(std::vector<std::uint8_t>& out, NameField field, std::size_t index,
             const std::u16string& text) {
  if (text.empty()) return;
  out.push_back(static_cast<std::uint8_t>(field));
  out.push_back(static_cast<std::uint8_t>(index));
  PutLe(out, text.size(), 2);
  for (char16_t u : text) PutLe(out, u, 2);
}

std::uint64_t GetLe(const std::uint8_t* p, int width) {
  std::uint64_t v = 0;
  for (int i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}

bool DecodeNames(std::span<const std::uint8_t> b, ProductNames& names) {
  std::size_t at = 0;
  while (at < b.size()) {
    if (b.size() - at < 4) return false;
    const auto field = static_cast<NameField>(b[at]);
    const std::size_t index = b[at + 1];
    const auto units = static_cast<std::size_t>(GetLe(&b[at + 2], 2));
    at += 4;
    if ((b.size() - at) / 2 < units) return false;
    std::u16string text(units, u'\0');
    for (std::size_t i = 0; i < units; ++i)
      text[i] = static_cast<char16_t>(GetLe(&b[at + 2 * i], 2));
    at += 2 * units;
    switch (field) {
      case NameField::kDisplayName:
        names.displayname = std::move(text);
        break;
      case NameField::kVersion:
        names.version = std::move(text);
        break;
      case NameField::kAppDataFolder:
        names.appdatafolder = std::move(text);
        break;
      case NameField::kAssocDescription:
        names.assocdescription = std::move(text);
        break;
      case NameField::kShortcutCaption:
        if (index < names.shortcutcaptions.size()) names.shortcutcaptions[index] = std::move(text);
        break;
      default:  // a name a newer packer knows
        break;
    }
  }
  return true;
}

std::u16string Either(const std::u16string& wide, std::string_view narrow) {
  return wide.empty() ? FromCodePage(narrow) : wide;
}

}  // namespace

ProductNames ResolveNames(const ConfigRecord& c, const ProductNames& wide) {
  ProductNames n;
  n.displayname = Either(wide.displayname, ReadShort(c.displayname));
  n.version = Either(wide.version, ReadShort(c.version));
  n.appdatafolder = Either(wide.appdatafolder, ReadShort(c.appdatafolder));
  n.assocdescription = Either(wide.assocdescription, ReadShort(c.assocdescription));
  for (std::size_t i = 0; i < n.shortcutcaptions.size(); ++i) {
    n.shortcutcaptions[i] = Either(wide.shortcutcaptions[i], ReadShort(c.shortcutcaptions[i]));
  }
  return n;
}

std::vector<std::string> LocaleData::Codes() const {
  std::vector<std::string> out;
  for (const TextTable& t : languages) out.push_back(t.language);
  return out;
}

const TextTable* LocaleData::Find(std::string_view code) const {
  const LanguageInfo* want = FindLanguage(code);
  for (const TextTable& t : languages) {
    if (want && FindLanguage(t.language) == want) return &t;
  }
  return nullptr;
}

std::vector<std::uint8_t> EncodeLocale(const LocaleData& data) {
  std::vector<std::uint8_t> out;
  std::vector<std::uint8_t> names;
  const ProductNames& n = data.names;
  PutName(names, NameField::kDisplayName, 0, n.displayname);
  PutName(names, NameField::kVersion, 0, n.version);
  PutName(names, NameField::kAppDataFolder, 0, n.appdatafolder);
  PutName(names, NameField::kAssocDescription, 0, n.assocdescription);
  for (std::size_t i = 0; i < n.shortcutcaptions.size(); ++i) {
    PutName(names, NameField::kShortcutCaption, i, n.shortcutcaptions[i]);
  }
  if (!names.empty()) PutItem(out, LocaleTag::kNames, names);
  if (!data.brand.empty()) {
    const std::string brand = Utf16ToUtf8(data.brand);
    PutItem(out, LocaleTag::kBrand,
            std::span(reinterpret_cast<const std::uint8_t*>(brand.data()), brand.size()));
  }
  for (const TextTable& t : data.languages) PutItem(out, LocaleTag::kLanguage, EncodeTextTable(t));
  if (!data.picture.empty()) PutItem(out, LocaleTag::kPicture, data.picture);
  return out;
}

std::optional<LocaleData> DecodeLocale(std::span<const std::uint8_t> bytes) {
  LocaleData data;
  if (!DecodeLocaleInto(bytes, data)) return std::nullopt;
  return data;
}

bool DecodeLocaleInto(std::span<const std::uint8_t> bytes, LocaleData& data) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    if (bytes.size() - at < 5) return false;
    const auto tag = static_cast<LocaleTag>(bytes[at]);
    const std::uint64_t n = GetLe(&bytes[at + 1], 4);
    at += 5;
    if (n > bytes.size() - at) return false;
    const auto item = bytes.subspan(at, static_cast<std::size_t>(n));
    at += static_cast<std::size_t>(n);
    switch (tag) {
      case LocaleTag::kNames:
        if (!DecodeNames(item, data.names)) return false;
        break;
      case LocaleTag::kBrand:
        data.brand =
            Utf8ToUtf16(std::string_view(reinterpret_cast<const char*>(item.data()), item.size()));
        break;
      case LocaleTag::kLanguage: {
        auto table = DecodeTextTable(item);
        if (!table) return false;
        table->encoded.assign(reinterpret_cast<const char*>(item.data()), item.size());
        data.languages.push_back(std::move(*table));
        break;
      }
      case LocaleTag::kPicture:
        data.picture.assign(item.begin(), item.end());
        break;
      default:  // an item a newer packer adds
        break;
    }
  }
  return true;
}

void LocaleRef::Store(std::uint8_t* item) const {
  item[0] = kVersion;
  StoreLe64(item + 1, static_cast<std::uint64_t>(dataoffset));
  StoreLe64(item + 9, length);
  StoreLe32(item + 17, crc);
}

std::optional<LocaleRef> LocaleRef::Load(std::span<const std::uint8_t> item) {
  if (item.size() != kItemSize || item[0] != kVersion) return std::nullopt;
  LocaleRef ref;
  ref.dataoffset = static_cast<std::int64_t>(LoadLe64(item.data() + 1));
  ref.length = LoadLe64(item.data() + 9);
  ref.crc = LoadLe32(item.data() + 17);
  if (ref.dataoffset < 0 || ref.length > kMaxLocaleBytes) return std::nullopt;
  return ref;
}

LocaleLoad ReadLocale(PackageFile& file, const ConfigRecord& config, LocaleData& out) {
  const auto ext = ExtensionView::Parse(config.reserved11628);
  const auto item = ext ? ext->Find(ConfigTag::kLocale) : std::nullopt;
  if (!item) return LocaleLoad::kAbsent;
  const auto ref = LocaleRef::Load(*item);
  if (!ref) return LocaleLoad::kDamaged;
  std::int64_t at = 0;
  if (__builtin_add_overflow(static_cast<std::int64_t>(config.packageoffset), ref->dataoffset,
                             &at)) {
    return LocaleLoad::kDamaged;
  }
  // a small run, read whole: the blocks through one buffer, the decoded stream into `stream`
  const auto payload = std::make_unique<std::uint8_t[]>(kTransferBufferSize);
  const auto chunk = std::make_unique<std::uint8_t[]>(kTransferBufferSize);
  std::vector<std::uint8_t> stream;
  stream.reserve(static_cast<std::size_t>(ref->length));
  for (;;) {
    BlockHeader h{};
    std::uint32_t n = kBlockHeaderSize;
    if (file.ReadAt(&h, n, at) != kBlockHeaderSize) return LocaleLoad::kDamaged;
    at += kBlockHeaderSize;
    if (h.bitcount == 0) break;
    if (h.marker != kBlockMarker || h.bitcount > kMaxBlockBits) return LocaleLoad::kDamaged;
    const std::uint32_t want = PayloadBytes(h.bitcount);
    n = want;
    if (file.ReadAt(payload.get(), n, at) != want) return LocaleLoad::kDamaged;
    at += want;
    const std::uint8_t* data = payload.get();
    std::uint32_t size = want;
    if (h.coded == 1) {
      size = h.bitcount;
      if (tsmufflz::DecodeBlock(payload.get(), chunk.get(), size) != tsmufflz::Result::kOk) {
        return LocaleLoad::kDamaged;
      }
      data = chunk.get();
    }
    if (size > ref->length - stream.size()) return LocaleLoad::kDamaged;
    stream.insert(stream.end(), data, data + size);
    if (h.lastblock == 1) break;
  }
  if (stream.size() != ref->length || Crc32(stream.data(), stream.size()) != ref->crc) {
    return LocaleLoad::kDamaged;
  }
  return DecodeLocaleInto(stream, out) ? LocaleLoad::kOk : LocaleLoad::kDamaged;
}

}  // namespace kestrel
