#include "package/startload.h"

namespace kestrel {

StartupLoad LoadStartupPackage(PackageFile& file, ConfigRecord& config, std::string& licensetext) {
  licensetext.clear();
  const std::int64_t end = file.Size();
  const std::int64_t recordpos = end - static_cast<std::int64_t>(kConfigRecordSize);
  std::uint32_t n = kConfigRecordSize;
  // a file shorter than the record makes the seek fail, which reads as a short read
  if (file.ReadAt(&config, n, recordpos) != kConfigRecordSize) return StartupLoad::kUnreadable;
  if (!HasSetupMarker(config)) return StartupLoad::kNoPackage;
  if (config.haslicense == 0) return StartupLoad::kOk;

  const std::int64_t len = recordpos - config.licenseoffset;
  // a licence that would start inside the record: the package is damaged
  if (len < 0) return StartupLoad::kUnreadable;
  if (len > kMaxLicenseBytes) {
    config.haslicense = 0;
    return StartupLoad::kOk;
  }
  std::string text(static_cast<std::size_t>(len), '\0');
  std::uint32_t want = static_cast<std::uint32_t>(len);
  if (file.ReadAt(text.data(), want, config.licenseoffset) != static_cast<std::uint64_t>(len)) {
    config.haslicense = 0;  // go on without the licence page
    return StartupLoad::kOk;
  }
  const std::size_t zero = text.find('\0');
  if (zero != std::string::npos) text.resize(zero);
  licensetext = std::move(text);
  return StartupLoad::kOk;
}

}  // namespace kestrel
