#include "installengine/extract.h"

#include <algorithm>
#include <utility>

#include "decode/sha256.h"
#include "installengine/solid.h"
#include "package/extension.h"
#include "sysutil/cmfconst.h"
#include "sysutil/cmfunit.h"
#include "sysutil/winname.h"

namespace kestrel {
namespace {

constexpr std::uint32_t kNormalAttribute = 0x80;

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

bool OnlyDotsAndBlanks(std::u16string_view part) {
  return !part.empty() &&
         std::all_of(part.begin(), part.end(), [](char16_t c) { return c == u'.' || c == u' '; });
}

// Every component of a folder path is a name Windows creates as stored. Empty components are
// the root's ("\\a", "\\\\server\\share") and one final separator's; a full path may begin with
// a drive ("C:").
bool FolderNamesOk(std::u16string_view folder, bool full) {
  std::size_t start = 0, index = 0;
  while (start <= folder.size()) {
    std::size_t end = start;
    while (end < folder.size() && !IsSeparator(folder[end])) ++end;
    const auto part = folder.substr(start, end - start);
    const bool at_start = part.empty() && index < (full ? 2u : 1u) && start == index;
    const bool at_end = part.empty() && end == folder.size() && index > 0;
    const bool drive = full && index == 0 && part.size() == 2 && part[1] == u':';
    if (!at_start && !at_end && !drive && CheckNameComponent(part) != NameFault::kNone) {
      return false;
    }
    start = end + 1;
    ++index;
  }
  return true;
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

std::u16string JudgeRecord(const DirectoryRecord& record, bool to_destination) {
  const std::u16string filename = ReadWide(record.filename);
  const std::u16string folder = ReadWide(to_destination ? record.subfolder : record.targetfolder);
  // a subfolder must begin with a separator, or it would extend the folder's own name
  const bool subfolder_bad = to_destination && !folder.empty() && !IsSeparator(folder.front());
  if (CheckNameComponent(filename) == NameFault::kNone && !HasParentStep(folder) &&
      !subfolder_bad && FolderNamesOk(folder, !to_destination)) {
    return {};
  }
  return std::u16string(kStatusUnsafePathPrefix) + AddTrailingBackslash(folder) + filename + u")";
}

PackageReader::PackageReader(FileSystem& fs) : fs_(fs) {}
PackageReader::~PackageReader() = default;

PackageFile* PackageReader::package() {
  if (solid_) solid_->Stop();
  return packagefile.get();
}

bool PackageReader::SetKey(std::span<const std::uint8_t> key) {
  auto state = std::make_unique<CipherState>();
  if (!MakeCipherState(key, *state)) return false;
  cipher = std::move(state);
  return true;
}

PasswordCheck PackageReader::SetPassword(std::string_view password_utf8) {
  std::array<std::uint8_t, kMaxKeyBytes> key{};
  const PasswordCheck result = CheckPassword(header, password_utf8, key);
  if (result == PasswordCheck::kAccepted) SetKey(key);
  SecureZero(key.data(), key.size());
  return result;
}

bool PackageReader::OpenPackage() {
  opened_ = false;
  records.clear();
  solid_.reset();
  solid_ref_.reset();
  packagefile = checkedfile ? std::make_unique<BorrowedFile>(*checkedfile) : fs_.NewFile();
  if (!checkedfile && !packagefile->OpenRead(programpath)) return false;

  std::uint32_t n = kPackageHeaderSize;
  if (packagefile->ReadAt(&header, n, packageoffset) != kPackageHeaderSize) return false;

  const std::int64_t t = packageend - static_cast<std::int64_t>(kDirectoryTrailerSize);
  n = kDirectoryTrailerSize;
  if (packagefile->ReadAt(&trailer, n, t) != kDirectoryTrailerSize) return false;

  if (config) {
    const auto ext = ExtensionView::Parse(config->reserved11628);
    if (ext && (ext->Find(ConfigTag::kSolidStream) || ext->Find(ConfigTag::kSolidDirectory))) {
      if (OpenSolid(*ext)) return FinishOpen();
      records.clear();
      solid_.reset();
      solid_ref_.reset();
      if (statustext.empty()) statustext = kStatusCorrupt;
      return false;
    }
    const auto item = ext ? ext->Find(ConfigTag::kCompactDirectory) : std::nullopt;
    if (item) {
      const auto ref = CompactDirectoryRef::Load(*item);
      if (!ref || !ReadCompactDirectory(*ref)) {
        records.clear();
        statustext = kStatusCorrupt;
        return false;
      }
      return FinishOpen();
    }
  }
  if (!ReadClassicDirectory()) return false;
  // the placeholder a compact package leaves for older readers: its extension is gone
  if (records.size() == 1 && ReadWide(records[0].filename) == kCompactPlaceholderName) {
    records.clear();
    statustext = kStatusCorrupt;
    return false;
  }
  return FinishOpen();
}

bool PackageReader::ReadClassicDirectory() {
  const std::int64_t t = packageend - static_cast<std::int64_t>(kDirectoryTrailerSize);
  // A count that reaches in front of the file's start would make a seek fail, so it is refused
  // before anything is allocated.
  const std::int64_t count = trailer.filecount > 0 ? trailer.filecount : 0;
  constexpr auto kRecord = static_cast<std::int64_t>(kDirectoryRecordSize);
  if (count > 0 && (t < 0 || count > t / kRecord)) return false;
  if (count == 0) return true;

  // The records lie in file order in front of the trailer, so they are read front to back in
  // large pieces and kept in their compact form; only when a piece comes up short are they read
  // one at a time from the last file, which leaves exactly the records that can be read.
  constexpr std::int64_t kPiece = 32;  // records per read: 199424 bytes
  const auto piece = std::make_unique_for_overwrite<DirectoryRecord[]>(kPiece);
  const std::int64_t first = t - count * kRecord;
  std::int64_t done = 0;
  while (done < count) {
    const std::int64_t m = std::min(kPiece, count - done);
    const auto bytes = static_cast<std::uint32_t>(m * kRecord);
    std::uint32_t n = bytes;
    if (packagefile->ReadAt(piece.get(), n, first + done * kRecord) != bytes) break;
    for (std::int64_t i = 0; i < m; ++i) records.Add(piece[static_cast<std::size_t>(i)]);
    done += m;
  }
  if (done == count) return true;

  // count the records readable from the end, then keep just those
  records.clear();
  std::int64_t readable = 0;
  for (std::int64_t k = 1; k <= count; ++k, ++readable) {
    std::uint32_t n = kDirectoryRecordSize;
    if (packagefile->ReadAt(&piece[0], n, t - kRecord * k) != kDirectoryRecordSize) break;
  }
  for (std::int64_t k = readable; k >= 1; --k) {
    std::uint32_t n = kDirectoryRecordSize;
    if (packagefile->ReadAt(&piece[0], n, t - kRecord * k) != kDirectoryRecordSize) break;
    records.Add(piece[0]);
  }
  return readable == count;
}

// The compact directory's run is never enciphered: like the classic directory it must be
// readable before any key is known. It is parsed as it is decoded, and accepted only when its
// length, record count and CRC-32 all match the extension's.
bool PackageReader::ReadCompactDirectory(const CompactDirectoryRef& ref) {
  if (!bufa) bufa = std::make_unique<std::uint8_t[]>(kTransferBufferSize);
  if (!bufb) bufb = std::make_unique<std::uint8_t[]>(kTransferBufferSize);
  std::int64_t start = 0;
  if (__builtin_add_overflow(static_cast<std::int64_t>(packageoffset), ref.dataoffset, &start) ||
      !packagefile->Seek(start)) {
    return false;
  }
  if (ref.count > kMaxDirectoryRecords) return false;
  CompactRecordParser parser(records);
  std::uint64_t decoded = 0;
  std::uint32_t crc = 0;
  for (;;) {
    std::uint32_t n = kBlockHeaderSize;
    if (packagefile->Read(&blockheader, n) != kBlockHeaderSize) return false;
    if (blockheader.bitcount == 0) break;
    if (blockheader.marker != kBlockMarker || blockheader.bitcount > kMaxBlockBits) return false;
    const std::uint32_t want = PayloadBytes(blockheader.bitcount);
    n = want;
    if (packagefile->Read(bufa.get(), n) != want) return false;
    const std::uint8_t* data = bufa.get();
    std::uint32_t size = want;
    if (blockheader.coded == 1) {
      size = blockheader.bitcount;
      if (tsmufflz::DecodeBlock(bufa.get(), bufb.get(), size) != tsmufflz::Result::kOk) {
        return false;
      }
      data = bufb.get();
    }
    if (size > ref.length - decoded) return false;
    decoded += size;
    crc = Crc32(data, size, crc);
    if (!parser.Feed(std::span(data, size))) return false;
    if (parser.records() > ref.count || records.HeldBytes() > directory_budget) return false;
    if (blockheader.lastblock == 1) break;
  }
  return decoded == ref.length && crc == ref.crc && parser.AtRecordEnd() &&
         parser.records() == ref.count;
}

// A solid package is refused whole, before anything is created, when this program cannot read
// it: an unknown codec, a dictionary past the limit, memory that cannot be had, or records that do
// not tile the stream exactly.
bool PackageReader::OpenSolid(const ExtensionView& ext) {
  statustext.clear();
  const auto item = ext.Find(ConfigTag::kSolidStream);
  const auto directory = ext.Find(ConfigTag::kSolidDirectory);
  if (!item || !directory) return false;
  solid_ref_ = SolidStreamRef::Load(*item);
  if (!solid_ref_) return false;
  if (solid_ref_->codec != Codec::kLzma2) {
    statustext = kStatusUnknownCodec;
    return false;
  }
  const std::uint64_t dictionary = Lzma2DictionaryBytes(solid_ref_->dictionary);
  if (dictionary == 0 || dictionary > kMaxSolidDictionary) {
    statustext = kStatusDictionaryTooLarge;
    return false;
  }
  const auto ref = CompactDirectoryRef::Load(*directory);
  if (!ref || !ReadCompactDirectory(*ref) || !PlanSolid()) return false;
  solid_ = std::make_unique<SolidStream>(*packagefile, packageoffset, *solid_ref_, nullptr,
                                         solid_threads);
  switch (solid_->Open()) {
    case SolidStream::Fault::kNone:
      return true;
    case SolidStream::Fault::kNoMemory:
      statustext = kStatusNoMemory;
      return false;
    default:
      return false;
  }
}

// Every record either carries the next bytes of the stream or repeats an earlier carrier's
// content (same offset, size and CRC); together the carriers cover the stream exactly.
bool PackageReader::PlanSolid() {
  const std::size_t n = records.size();
  solid_source_.assign(n, 0);
  solid_good_.assign(n, 0);
  // carriers come in increasing offset order: a sorted list to search, no hash table
  std::vector<std::pair<std::int64_t, std::uint32_t>> carriers;
  std::uint64_t at = 0;
  DirectoryRecord& r = current_;
  DirectoryRecord& earlier = other_;
  for (std::size_t i = 0; i < n; ++i) {
    records.Get(i, r);
    solid_source_[i] = static_cast<std::uint32_t>(i);
    if (r.filesize < 0 || r.dataoffset < 0) return false;
    const auto size = static_cast<std::uint64_t>(r.filesize);
    const auto offset = static_cast<std::uint64_t>(r.dataoffset);
    if (size == 0) continue;
    if (offset == at) {
      if (size > solid_ref_->unpacked - at) return false;
      carriers.emplace_back(r.dataoffset, static_cast<std::uint32_t>(i));
      at += size;
      continue;
    }
    const auto found = std::lower_bound(carriers.begin(), carriers.end(),
                                        std::make_pair(r.dataoffset, std::uint32_t{0}));
    if (found == carriers.end() || found->first != r.dataoffset) return false;
    records.Get(found->second, earlier);
    if (earlier.filesize != r.filesize || FileContentCrc(earlier) != FileContentCrc(r)) {
      return false;
    }
    solid_source_[i] = found->second;
  }
  return at == solid_ref_->unpacked;
}

std::u16string PackageReader::DestinationFolder(const DirectoryRecord& r) const {
  std::u16string folder = destfolder.empty()
                              ? ReadWide(r.targetfolder)
                              : StripTrailingBackslash(destfolder) + ReadWide(r.subfolder);
  // a destination that is the root alone ("\") keeps its separator
  if (folder.empty() && !destfolder.empty()) folder = destfolder;
  return AddTrailingBackslash(folder);
}

// A file that cannot be written as packed: its status, its output closed, and for a fault of the
// package file itself the whole run stopped.
bool PackageReader::Fail(PackageFile* dest, StatusText text, bool terminate) {
  statustext = text;
  if (dest) dest->Close();
  if (terminate) RequestTermination();
  return false;
}

bool PackageReader::RunSolid(std::size_t index, const DirectoryRecord& record, Sink sink,
                             void* context, PackageFile* dest) {
  const std::optional<std::uint32_t> expected_crc = FileContentCrc(record);
  std::uint32_t crc = 0;
  content_mismatch_ = false;
  auto check = [&](std::uint32_t got_crc) {
    if (expected_crc && got_crc != *expected_crc) {
      content_mismatch_ = true;
      return Fail(dest, kStatusCorrupt, false);
    }
    return true;
  };
  std::uint64_t left = static_cast<std::uint64_t>(record.filesize);
  const std::uint32_t source = solid_source_[index];
  if (left == 0) return check(0);

  if (source != index) {
    // the same content as an earlier file: verified there, and copied from where it was written
    if (!solid_good_[source]) return Fail(dest, kStatusCorrupt, false);
    if (!dest) {
      for (; left > 0; left -= std::min<std::uint64_t>(left, kMaxChunk)) {
        sink(context, bufb.get(),
             static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kMaxChunk)));
      }
      return true;
    }
    DirectoryRecord& from = other_;
    records.Get(source, from);
    auto earlier = fs_.NewFile();
    if (!earlier->OpenRead(DestinationFolder(from) + ReadWide(from.filename))) {
      return Fail(dest, kStatusCorrupt, false);
    }
    while (left > 0) {
      std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(left, kMaxChunk));
      if (earlier->Read(bufb.get(), n) != n || n == 0) return Fail(dest, kStatusCorrupt, false);
      if (!sink(context, bufb.get(), n)) return Fail(dest, kStatusWriteFailed, false);
      crc = Crc32(bufb.get(), n, crc);
      left -= n;
    }
    return check(crc);
  }

  solid_->SetCipher(cipher.get());
  auto fault = [&](SolidStream::Fault f) {
    if (f == SolidStream::Fault::kReadFailed) return Fail(dest, kStatusReadFailed, true);
    content_mismatch_ = true;  // what was written of the file is known to be incomplete
    return Fail(dest, kStatusCorrupt, false);
  };
  if (const auto f = solid_->SkipTo(static_cast<std::uint64_t>(record.dataoffset));
      f != SolidStream::Fault::kNone) {
    return fault(f);
  }
  while (left > 0) {
    const std::uint8_t* data = nullptr;
    std::size_t got = 0;
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(left, SolidStream::kSlotBytes));
    if (const auto f = solid_->Next(want, data, got); f != SolidStream::Fault::kNone)
      return fault(f);
    if (got == 0) return fault(SolidStream::Fault::kCorrupt);
    if (!sink(context, data, static_cast<std::uint32_t>(got)))
      return Fail(dest, kStatusWriteFailed, false);
    if (expected_crc) crc = Crc32(data, got, crc);
    left -= got;
    if (left == 0) break;
    // share of the content written, scaled to 90
    const std::uint64_t total = solid_ref_->unpacked;
    progress = total ? static_cast<std::int32_t>(solid_->position() * 90 / total) : 0;
    if (showprogress) showprogress(progress);
  }
  if (!check(crc)) return false;
  solid_good_[index] = 1;
  return true;
}

bool PackageReader::FinishOpen() {
  opened_ = true;
  if (header.compressed == 1) decoder = std::make_unique<tsmufflz>();
  if (!bufa) bufa = std::make_unique<std::uint8_t[]>(kTransferBufferSize);
  if (!bufb) bufb = std::make_unique<std::uint8_t[]>(kTransferBufferSize);
  return true;
}

// Checks made before anything is created: the engine must be ready and the record must not lead
// outside the folder it installs into.
bool PackageReader::CheckRecord(const DirectoryRecord& record, bool to_destination) {
  if (!opened_ || !bufa || !bufb) {
    statustext = kStatusNotOpened;
    return false;
  }
  if (header.encrypted == 1 && !cipher) {
    statustext = kStatusNoKey;
    return false;
  }
  // a record whose own check data is damaged cannot vouch for its content
  if (ExtensionView::Classify(record.reserved6192) == ExtensionState::kDamaged) {
    statustext = kStatusCorrupt;
    return false;
  }
  std::u16string refusal = JudgeRecord(record, to_destination);
  if (!refusal.empty()) {
    statustext = std::move(refusal);
    return false;
  }
  return true;
}

bool PackageReader::RunBlocks(const DirectoryRecord& record, Sink sink, void* context,
                              PackageFile* dest) {
  // The packer's CRC-32 of the content, when the record has one, settles whether the bytes that
  // came out (deciphered with whatever key, decoded) are the file's: a wrong key or a damaged
  // block anywhere fails the file instead of installing garbage.
  const std::optional<std::uint32_t> expected_crc = FileContentCrc(record);
  std::uint32_t crc = 0;
  content_mismatch_ = false;

  std::int64_t start = 0;
  if (__builtin_add_overflow(static_cast<std::int64_t>(packageoffset), record.dataoffset, &start) ||
      !packagefile->Seek(start)) {
    return Fail(dest, kStatusSeekFailed, true);
  }
  for (;;) {
    std::uint32_t n = kBlockHeaderSize;
    if (packagefile->Read(&blockheader, n) != kBlockHeaderSize) break;
    if (blockheader.bitcount == 0) break;
    if (blockheader.marker != kBlockMarker) return Fail(dest, kStatusCorrupt, false);
    // a payload larger than the transfer buffers is never read
    if (blockheader.bitcount > kMaxBlockBits) return Fail(dest, kStatusCorrupt, false);

    const std::uint32_t want = PayloadBytes(blockheader.bitcount);
    n = want;
    if (packagefile->Read(bufa.get(), n) != want) return Fail(dest, kStatusReadFailed, true);
    if (header.encrypted == 1) {
      DecipherPayload(*cipher, bufa.get(), want, record.chainleft, record.chainright);
    }
    std::uint32_t size = want;
    if (blockheader.coded == 1) {
      size = blockheader.bitcount;
      const auto result = tsmufflz::DecodeBlock(bufa.get(), bufb.get(), size);
      std::swap(bufa, bufb);
      if (result != tsmufflz::Result::kOk) return Fail(dest, kStatusCorrupt, false);
    }
    if (!sink(context, bufa.get(), size)) return Fail(dest, kStatusWriteFailed, false);
    if (expected_crc) crc = Crc32(bufa.get(), size, crc);
    if (blockheader.lastblock == 1) break;

    // share of the package consumed, scaled to 90
    const std::int64_t span = packagefile->Size() - packageoffset;
    const std::int64_t done = packagefile->Position() - packageoffset;
    std::int64_t percent = span > 0 && done > 0 ? done * 90 / span : 0;
    progress = static_cast<std::int32_t>(std::clamp<std::int64_t>(percent, 0, 90));
    if (showprogress) showprogress(progress);
  }
  if (expected_crc && crc != *expected_crc) {
    content_mismatch_ = true;
    return Fail(dest, kStatusCorrupt, false);
  }
  return true;
}

bool PackageReader::ExtractFile(std::size_t index) {
  if (index >= records.size()) {
    statustext = kStatusNotOpened;
    return false;
  }
  records.Get(index, current_);
  const DirectoryRecord& r = current_;
  if (!CheckRecord(r, !destfolder.empty())) return false;

  const std::u16string folder = DestinationFolder(r);
  const std::u16string d = folder + ReadWide(r.filename);
  lastpath = d;

  // Files of one folder follow each other, so the chain is searched only when the folder differs
  // from the last one made; should that file then fail to be created (its folder gone meanwhile),
  // the whole step runs again with the search, so every outcome matches searching each time.
  std::unique_ptr<PackageFile> dest;
  for (bool known = !made_folder_.empty() && folder == made_folder_;; known = false) {
    if (!known) {
      made_folder_.clear();
      if (!CreateFolderChain(fs_, folder)) {
        statustext = kStatusNoFolder;
        return false;
      }
      made_folder_ = folder;
    }
    if (!overwrite && FilePresent(fs_, d)) {
      statustext = kStatusFileExists;
      return false;
    }
    dest = fs_.NewFile();
    if (dest->CreateWrite(d)) break;
    // a file an earlier installation left read-only, hidden or system refuses to be replaced by
    // one with normal attributes: its attributes are cleared once and the create tried again
    if (FilePresent(fs_, d) && fs_.ApplyAttributes(d, kNormalAttribute) && dest->CreateWrite(d)) {
      break;
    }
    if (!known) {
      statustext = std::u16string(kStatusCannotCreatePrefix) + d + u")";
      return false;
    }
  }
  if (!RunContent(index, r, WriteToFile, dest.get(), dest.get())) {
    // a file known to hold wrong bytes must not stay behind looking installed
    if (content_mismatch_) fs_.RemoveFile(d);
    return false;
  }
  // creating the file gave it attributes already (archive, as a rule): set them only if the
  // record wants others
  lastsize = dest->Position();
  std::uint32_t created = 0;
  const bool known = dest->Attributes(created);
  dest->Close();
  if (!known || created != r.attributes) fs_.ApplyAttributes(d, r.attributes);
  statustext = kStatusExtracted;
  return true;
}

bool PackageReader::ReadFileContent(std::size_t index, std::int64_t& decoded) {
  decoded = 0;
  if (index >= records.size()) {
    statustext = kStatusNotOpened;
    return false;
  }
  records.Get(index, current_);
  if (!CheckRecord(current_, true)) return false;
  if (!RunContent(index, current_, CountOnly, &decoded, nullptr)) return false;
  statustext = kStatusExtracted;
  return true;
}

}  // namespace kestrel
