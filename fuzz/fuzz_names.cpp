// Feeds arbitrary UTF-16 names to the record judgement that the file step and `verify` share,
// and to the Windows name rules beneath it. Traps when a record is accepted although a name in
// it is one Windows would not create as stored, or when case mapping and device names disagree.
#include <cstdint>
#include <cstring>
#include <string>

#include "installengine/extract.h"
#include "package/records.h"
#include "sysutil/winname.h"

namespace {

using namespace kestrel;

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

// Every component between the leading separator and an optional final one is creatable.
void CheckFolder(const std::u16string& folder) {
  std::size_t start = folder.empty() ? 0 : 1;
  while (start < folder.size()) {
    std::size_t end = start;
    while (end < folder.size() && !IsSeparator(folder[end])) ++end;
    const std::u16string part = folder.substr(start, end - start);
    Require(!(part.empty() && end < folder.size()));
    if (!part.empty()) Require(CheckNameComponent(part) == NameFault::kNone);
    start = end + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // units, split into file name and subfolder at the first U+FFFF
  std::u16string units(size / 2, u'\0');
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * 2);
  const std::size_t cut = units.find(u'\uFFFF');
  const std::u16string name = units.substr(0, cut);
  const std::u16string folder = cut == std::u16string::npos ? u"" : units.substr(cut + 1);

  // the name rules alone
  const std::u16string upper = UpcaseName(name);
  Require(upper.size() == name.size());
  Require(UpcaseName(upper) == upper);
  Require(IsReservedDeviceName(name) == IsReservedDeviceName(upper));
  Require((CheckNameComponent(name) == NameFault::kNone) ==
          (CheckNameComponent(upper) == NameFault::kNone));

  static DirectoryRecord record;
  std::memset(&record, 0, sizeof record);
  WriteWide(record.filename, name);
  WriteWide(record.subfolder, folder);
  WriteWide(record.targetfolder, folder);
  const std::u16string stored_name = ReadWide(record.filename);
  const std::u16string stored_folder = ReadWide(record.subfolder);

  const std::u16string verdict = JudgeRecord(record, true);
  if (verdict.empty()) {
    Require(CheckNameComponent(stored_name) == NameFault::kNone);
    Require(!IsReservedDeviceName(stored_name));
    Require(stored_folder.empty() || IsSeparator(stored_folder.front()));
    Require(!HasParentStep(stored_folder));
    CheckFolder(stored_folder);
  } else {
    Require(verdict.rfind(kStatusUnsafePathPrefix, 0) == 0);
  }
  // without a destination the full targetfolder is judged; a refused file name stays refused
  const std::u16string full = JudgeRecord(record, false);
  if (CheckNameComponent(stored_name) != NameFault::kNone) Require(!full.empty());
  if (full.empty()) Require(!HasParentStep(stored_folder));
  return 0;
}
