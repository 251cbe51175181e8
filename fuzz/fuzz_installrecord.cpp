// Feeds arbitrary bytes to the install record's reader. Whatever the bytes, it must refuse them
// or accept a record whose every path is one the uninstall may act on: a file below the
// installation folder, a full local folder or link path; and that record must encode back to
// bytes that decode to the same removals. A CRC is no obstacle here: the fuzzer is offered the
// input also with its last four bytes replaced by the right CRC-32, so it reaches the entries.
#include <cstdint>
#include <cstring>
#include <vector>

#include "installengine/installrecord.h"
#include "package/extension.h"

using namespace kestrel;

namespace {

void Check(const std::vector<std::uint8_t>& bytes) {
  InstallRecord decoded;
  if (!DecodeInstallRecord(bytes, decoded)) return;
  const InstallRecord* record = &decoded;
  if (!IsRecordedFullPath(record->installfolder) || record->identity.empty()) __builtin_trap();
  for (const auto& f : record->files) {
    if (!IsRecordedSubpath(f.path)) __builtin_trap();
  }
  for (const auto& f : record->folders) {
    if (!IsRecordedFullPath(f)) __builtin_trap();
  }
  for (const auto& l : record->shortcuts) {
    if (!IsRecordedFullPath(l)) __builtin_trap();
  }
  InstallRecord again;
  if (!DecodeInstallRecord(EncodeInstallRecord(*record), again) ||
      again.files.size() != record->files.size() || again.folders != record->folders ||
      again.shortcuts != record->shortcuts) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  Check(bytes);
  if (size >= 16) {
    StoreLe32(bytes.data() + size - 4, Crc32(bytes.data(), size - 4));
    Check(bytes);
  }
  return 0;
}
