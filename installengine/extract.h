// The install engine's portable core: opening the package's directory and extracting one file.
//
// The Windows engine `tinstallengine` drives it from its worker thread and `kestrel-pack extract`
// and `verify` drive it on the host; both run exactly this code. No OS calls happen here: every
// file access goes through the FileSystem it is given.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "decode/cipher.h"
#include "decode/password.h"
#include "decode/tsmufflz.h"
#include "package/directory.h"
#include "package/extension.h"
#include "package/pkgfile.h"
#include "package/protection.h"
#include "package/records.h"
#include "package/solid.h"
#include "sysutil/texts.h"

namespace kestrel {

// Refusals the file step adds to the fixed texts, for packages that would otherwise do harm.
// A file name holding a separator, "." or "..", or a folder with a ".." component.
inline constexpr std::u16string_view kStatusUnsafePathPrefix = u"Unsafe path in package (";
// An enciphered package and no key to decipher it.
inline constexpr StatusText kStatusNoKey{TextId::status_no_key};
// ExtractFile called without a successful OpenPackage.
inline constexpr StatusText kStatusNotOpened{TextId::status_not_opened};
// A solid package whose codec this program does not know (a newer packer's).
inline constexpr StatusText kStatusUnknownCodec{TextId::status_unknown_codec};
// A solid package whose dictionary passes the limit, or memory for it that cannot be had.
inline constexpr StatusText kStatusDictionaryTooLarge{TextId::status_dictionary_too_large};
inline constexpr StatusText kStatusNoMemory{TextId::status_no_memory};

class SolidStream;

class PackageReader {
 public:
  explicit PackageReader(FileSystem& fs);
  ~PackageReader();
  PackageReader(const PackageReader&) = delete;
  PackageReader& operator=(const PackageReader&) = delete;

  // Inputs, set before OpenPackage.
  std::u16string programpath;  // the file that carries the package
  // That file as it is already open and was checked (setup's start-up): read instead of opening
  // `programpath` again, which another file may have taken the place of since. Not owned.
  PackageFile* checkedfile = nullptr;
  std::int32_t packageoffset = 0;  // the Configuration record's packageoffset
  std::int64_t packageend = 0;     // the Configuration record's licenseoffset, widened
  // The Configuration record, whose extension may point at a compact directory; null: the
  // classic directory only.
  const ConfigRecord* config = nullptr;
  // The memory a compact directory may take when held (lowered by tests).
  std::size_t directory_budget = kMaxDirectoryHeldBytes;
  // A solid package's stream is decoded on a thread of its own while the file step writes;
  // false decodes on the caller's thread (fuzzers).
  bool solid_threads = true;

  // Inputs of the file step.
  std::u16string destfolder;  // as entered; may end with a backslash; empty: use targetfolder
  bool overwrite = true;
  // Called after every block that is not the last of its file, with `progress` already set.
  std::function<void(std::int32_t)> showprogress;

  // Results.
  std::u16string statustext;
  std::u16string lastpath;    // the file the last file step wrote (or tried to create)
  std::int64_t lastsize = 0;  // the bytes the last successful file step wrote
  std::int32_t progress = 0;

  // What OpenPackage read.
  PackageHeader header{};
  DirectoryTrailer trailer{};
  Directory records;  // file order: index 0 is the first file

  // Keys an enciphered package (1 to 56 raw key bytes). False for a bad key length.
  bool SetKey(std::span<const std::uint8_t> key);
  // Keys it from a password, checked against the header's password data (after OpenPackage).
  // Nothing is keyed unless the result is kAccepted.
  PasswordCheck SetPassword(std::string_view password_utf8);
  bool keyed() const { return cipher != nullptr; }

  // Opens `programpath` (or reads `checkedfile`) and reads the Package header, the trailer and
  // every Directory record, from the compact directory when the Configuration record's extension
  // names one. A damaged compact directory fails with `statustext` "File corrupt".
  bool OpenPackage();
  bool opened() const { return opened_; }

  // Extracts the file of records[index] below `destfolder`; `statustext` tells the outcome.
  bool ExtractFile(std::size_t index);
  // Where the file step puts the record's file: below `destfolder`, or in its targetfolder.
  std::u16string DestinationFolder(const DirectoryRecord& record) const;

  // Runs the same block loop as ExtractFile without writing anything: `decoded` receives the
  // file's content length. `statustext` is "Extracted" or the failure text. The record is judged
  // as the installer's file step judges it, which always has a destination folder.
  bool ReadFileContent(std::size_t index, std::int64_t& decoded);

  // The package's codec: classic blocks, or the solid stream's.
  Codec codec() const { return solid_ref_ ? solid_ref_->codec : Codec::kClassic; }
  const std::optional<SolidStreamRef>& solid() const { return solid_ref_; }

  // For the engine's copy of the program part: the package file OpenPackage opened (null before
  // it ran; a solid stream's decoder gives it back first) and the first transfer buffer (65537
  // bytes; null unless OpenPackage succeeded).
  PackageFile* package();
  std::uint8_t* transfer_buffer() { return bufa.get(); }

  // The worker's termination request: set by a confirmed cancel and by the two package read
  // failures of the file step; only polled between files.
  void RequestTermination() { terminate_.store(true, std::memory_order_relaxed); }
  bool TerminationRequested() const { return terminate_.load(std::memory_order_relaxed); }

 private:
  // Where the block loop sends each chunk; false stops it with the write failure.
  using Sink = bool (*)(void* context, const std::uint8_t* data, std::uint32_t n);
  // The last steps of a successful OpenPackage: the decoder and the transfer buffers.
  bool FinishOpen();
  bool ReadClassicDirectory();
  bool ReadCompactDirectory(const CompactDirectoryRef& ref);
  bool CheckRecord(const DirectoryRecord& record, bool to_destination);
  bool RunBlocks(const DirectoryRecord& record, Sink sink, void* context, PackageFile* dest);
  bool Fail(PackageFile* dest, StatusText text, bool terminate);
  bool OpenSolid(const ExtensionView& ext);
  bool PlanSolid();
  bool RunSolid(std::size_t index, const DirectoryRecord& record, Sink sink, void* context,
                PackageFile* dest);
  bool RunContent(std::size_t index, const DirectoryRecord& record, Sink sink, void* context,
                  PackageFile* dest) {
    return solid_ ? RunSolid(index, record, sink, context, dest)
                  : RunBlocks(record, sink, context, dest);
  }

  FileSystem& fs_;
  std::unique_ptr<PackageFile> packagefile;
  std::unique_ptr<CipherState> cipher;
  std::unique_ptr<tsmufflz> decoder;
  std::unique_ptr<std::uint8_t[]> bufa;
  std::unique_ptr<std::uint8_t[]> bufb;
  BlockHeader blockheader{};
  // Set by RunBlocks when the blocks ran to their end but the content's CRC-32 differs.
  bool content_mismatch_ = false;
  // aligned: the record is packed, and its texts are read as char16_t
  alignas(8) DirectoryRecord current_{};  // the record of the file being extracted
  alignas(8) DirectoryRecord other_{};    // an earlier record it refers to
  // The destination folder whose chain the last file step made or found; empty when none.
  std::u16string made_folder_;
  bool opened_ = false;
  std::atomic<bool> terminate_{false};
  // A solid package: its stream, and for every record the earlier record whose content it
  // shares (its own index when it carries its content in the stream), and whether a carrier's
  // content came out whole.
  std::optional<SolidStreamRef> solid_ref_;
  std::unique_ptr<SolidStream> solid_;
  std::vector<std::uint32_t> solid_source_;
  std::vector<std::uint8_t> solid_good_;
};

// True when a folder path holds a component that can climb out: ".." or, since Windows drops
// trailing dots and blanks, any component of only dots and blanks with two dots or more.
bool HasParentStep(std::u16string_view path);
// False for a file name that holds "\" or "/", or consists of dots and blanks only.
bool IsPlainFileName(std::u16string_view name);

// The file step's judgement of one record, made before anything is created and shared with
// `kestrel-pack verify`, so both refuse the same records: empty when the record may be extracted
// (below a destination folder when `to_destination`, else into its `targetfolder`), otherwise the
// refusal for `statustext`. Refused: a file name or folder component that Windows cannot create
// as stored (empty, over 255 units, a reserved character, a trailing dot or blank, a device name
// such as NUL or COM1), a climbing folder, and a subfolder without its leading separator.
std::u16string JudgeRecord(const DirectoryRecord& record, bool to_destination);

}  // namespace kestrel
