#include "package/startload.h"

#include "package/certtable.h"
#include "package/integrity.h"

namespace kestrel {

StartupLoad LoadStartupPackage(PackageFile& file, ConfigRecord& config, std::string& licensetext) {
  licensetext.clear();
  const PackageExtent extent = FindPackageEnd(file);
  const std::int64_t recordpos = extent.end - static_cast<std::int64_t>(kConfigRecordSize);
  std::uint32_t n = kConfigRecordSize;
  // a signed file whose table is cut off has lost the end of its package
  const StartupLoad missing =
      extent.table_past_end ? StartupLoad::kDamaged : StartupLoad::kNoPackage;
  // a file shorter than the record makes the seek fail, which reads as a short read
  if (file.ReadAt(&config, n, recordpos) != kConfigRecordSize) {
    return extent.table_past_end ? StartupLoad::kDamaged : StartupLoad::kUnreadable;
  }
  if (!HasSetupMarker(config)) return missing;
  if (CheckPackage(file, config, recordpos) == PackageCheck::kDamaged) {
    return StartupLoad::kDamaged;
  }
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
