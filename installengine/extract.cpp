#include "installengine/extract.h"

#include <algorithm>
#include <utility>

#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"

namespace kestrel {
namespace {

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool OnlyDotsAndBlanks(std::u16string_view part) {
  return !part.empty() &&
         std::all_of(part.begin(), part.end(), [](char16_t c) { return c == u'.' || c == u' '; });
}

bool WriteToFile(void* context, const std::uint8_t* data, std::uint32_t n) {
  return static_cast<PackageFile*>(context)->Write(data, n);
}

bool CountOnly(void* context, const std::uint8_t*, std::uint32_t n) {
  *static_cast<std::int64_t*>(context) += n;
  return true;
}

}  // namespace

bool HasParentStep(std::u16string_view path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    const auto part = path.substr(start, end - start);
    if (OnlyDotsAndBlanks(part) && std::count(part.begin(), part.end(), u'.') >= 2) return true;
    start = end + 1;
  }
  return false;
}

bool IsPlainFileName(std::u16string_view name) {
  if (std::any_of(name.begin(), name.end(), IsSeparator)) return false;
  return !OnlyDotsAndBlanks(name);
}

PackageReader::PackageReader(FileSystem& fs) : fs_(fs) {}
PackageReader::~PackageReader() = default;

bool PackageReader::SetKey(std::span<const std::uint8_t> key) {
  auto state = std::make_unique<CipherState>();
  if (!MakeCipherState(key, *state)) return false;
  cipher = std::move(state);
  return true;
}

bool PackageReader::OpenPackage() {
  opened_ = false;
  records.clear();
  packagefile = fs_.NewFile();
  if (!packagefile->OpenRead(programpath)) return false;

  std::uint32_t n = kPackageHeaderSize;
  if (packagefile->ReadAt(&header, n, packageoffset) != kPackageHeaderSize) return false;

  const std::int64_t t = packageend - static_cast<std::int64_t>(kDirectoryTrailerSize);
  n = kDirectoryTrailerSize;
  if (packagefile->ReadAt(&trailer, n, t) != kDirectoryTrailerSize) return false;

  // Records are read from the last file to the first; a count that reaches in front of the
  // file's start would make a seek fail, so it is refused before anything is allocated.
  const std::int64_t count = trailer.filecount > 0 ? trailer.filecount : 0;
  std::vector<DirectoryRecord> backwards;
  if (count > 0 && (t < 0 || count > t / static_cast<std::int64_t>(kDirectoryRecordSize))) {
    return false;
  }
  backwards.reserve(static_cast<std::size_t>(count));
  bool complete = true;
  for (std::int64_t k = 1; k <= count; ++k) {
    DirectoryRecord record;
    n = kDirectoryRecordSize;
    if (packagefile->ReadAt(&record, n, t - static_cast<std::int64_t>(kDirectoryRecordSize) * k) !=
        kDirectoryRecordSize) {
      complete = false;
      break;
    }
    backwards.push_back(record);
  }
  records.assign(backwards.rbegin(), backwards.rend());
  if (!complete) return false;

  opened_ = true;
  if (header.compressed == 1) decoder = std::make_unique<tsmufflz>();
  bufa = std::make_unique<std::uint8_t[]>(kTransferBufferSize);
  bufb = std::make_unique<std::uint8_t[]>(kTransferBufferSize);
  return true;
}

// Checks made before anything is created: the engine must be ready and the record must not lead
// outside the folder it installs into.
bool PackageReader::CheckRecord(const DirectoryRecord& record) {
  if (!opened_ || !bufa || !bufb) {
    statustext = kStatusNotOpened;
    return false;
  }
  if (header.encrypted == 1 && !cipher) {
    statustext = kStatusNoKey;
    return false;
  }
  const std::u16string filename = ReadWide(record.filename);
  const std::u16string subfolder = ReadWide(record.subfolder);
  const std::u16string targetfolder = ReadWide(record.targetfolder);
  const std::u16string& folder = destfolder.empty() ? targetfolder : subfolder;
  // a subfolder must begin with a separator, or it would extend the folder's own name
  const bool subfolder_bad =
      !destfolder.empty() && !subfolder.empty() && !IsSeparator(subfolder.front());
  if (!IsPlainFileName(filename) || HasParentStep(folder) || subfolder_bad) {
    statustext =
        std::u16string(kStatusUnsafePathPrefix) + AddTrailingBackslash(folder) + filename + u")";
    return false;
  }
  return true;
}

bool PackageReader::RunBlocks(const DirectoryRecord& record, Sink sink, void* context,
                              PackageFile* dest) {
  auto fail = [&](std::u16string_view text, bool terminate) {
    statustext = text;
    if (dest) dest->Close();
    if (terminate) RequestTermination();
    return false;
  };

  std::int64_t start = 0;
  if (__builtin_add_overflow(static_cast<std::int64_t>(packageoffset), record.dataoffset, &start) ||
      !packagefile->Seek(start)) {
    return fail(kStatusSeekFailed, true);
  }
  for (;;) {
    std::uint32_t n = kBlockHeaderSize;
    if (packagefile->Read(&blockheader, n) != kBlockHeaderSize) break;
    if (blockheader.bitcount == 0) break;
    if (blockheader.marker != kBlockMarker) return fail(kStatusCorrupt, false);
    // a payload larger than the transfer buffers is never read
    if (blockheader.bitcount > kMaxBlockBits) return fail(kStatusCorrupt, false);

    const std::uint32_t want = PayloadBytes(blockheader.bitcount);
    n = want;
    if (packagefile->Read(bufa.get(), n) != want) return fail(kStatusReadFailed, true);
    if (header.encrypted == 1) {
      DecipherPayload(*cipher, bufa.get(), want, record.chainleft, record.chainright);
    }
    std::uint32_t size = want;
    if (blockheader.coded == 1) {
      size = blockheader.bitcount;
      const auto result = tsmufflz::DecodeBlock(bufa.get(), bufb.get(), size);
      std::swap(bufa, bufb);
      if (result != tsmufflz::Result::kOk) return fail(kStatusCorrupt, false);
    }
    if (!sink(context, bufa.get(), size)) return fail(kStatusWriteFailed, false);
    if (blockheader.lastblock == 1) break;

    // share of the package consumed, scaled to 90
    const std::int64_t span = packagefile->Size() - packageoffset;
    const std::int64_t done = packagefile->Position() - packageoffset;
    std::int64_t percent = span > 0 && done > 0 ? done * 90 / span : 0;
    progress = static_cast<std::int32_t>(std::clamp<std::int64_t>(percent, 0, 90));
    if (showprogress) showprogress(progress);
  }
  return true;
}

bool PackageReader::ExtractFile(std::size_t index) {
  if (index >= records.size()) {
    statustext = kStatusNotOpened;
    return false;
  }
  const DirectoryRecord& r = records[index];
  if (!CheckRecord(r)) return false;

  std::u16string folder = destfolder.empty()
                              ? ReadWide(r.targetfolder)
                              : StripTrailingBackslash(destfolder) + ReadWide(r.subfolder);
  folder = AddTrailingBackslash(folder);
  if (!CreateFolderChain(fs_, folder)) {
    statustext = kStatusNoFolder;
    return false;
  }
  const std::u16string d = folder + ReadWide(r.filename);
  if (!overwrite && FilePresent(fs_, d)) {
    statustext = kStatusFileExists;
    return false;
  }
  auto dest = fs_.NewFile();
  if (!dest->CreateWrite(d)) {
    statustext = std::u16string(kStatusCannotCreatePrefix) + d + u")";
    return false;
  }
  if (!RunBlocks(r, WriteToFile, dest.get(), dest.get())) return false;
  dest->Close();
  fs_.ApplyAttributes(d, r.attributes);
  statustext = kStatusExtracted;
  return true;
}

bool PackageReader::ReadFileContent(std::size_t index, std::int64_t& decoded) {
  decoded = 0;
  if (index >= records.size()) {
    statustext = kStatusNotOpened;
    return false;
  }
  if (!CheckRecord(records[index])) return false;
  if (!RunBlocks(records[index], CountOnly, &decoded, nullptr)) return false;
  statustext = kStatusExtracted;
  return true;
}

}  // namespace kestrel
