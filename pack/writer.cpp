#include "pack/writer.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <system_error>
#include <thread>

#include "decode/cipher.h"
#include "decode/password.h"
#include "pack/hostio.h"
#include "pack/pathtext.h"
#include "pack/stages.h"
#include "pack/stubinfo.h"
#include "pack/tools.h"
#include "package/certtable.h"
#include "package/directory.h"
#include "package/extension.h"
#include "package/identity.h"
#include "package/integrity.h"
#include "package/locale.h"
#include "package/pkgfile.h"
#include "package/protection.h"
#include "package/publisher.h"
#include "package/records.h"
#include "sysutil/codepage.h"
#include "sysutil/pictureformat.h"

namespace kestrel::pack {
namespace fs = std::filesystem;
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// fopen on Windows would take the name in the ANSI code page.
std::FILE* OpenForWriting(const fs::path& path) {
#ifdef _WIN32
  return _wfopen(path.c_str(), L"wb");
#else
  return std::fopen(path.c_str(), "wb");
#endif
}

// One chunk of one file, encoded by whichever worker takes it.
struct Job {
  std::size_t file = 0;
  bool first = false;  // the file's first chunk: its blocks start where the directory points
  bool last = false;   // the file's last chunk (or the empty file's only one)
  std::vector<std::uint8_t> data;
  std::vector<EncodedBlock> blocks;
};

// The output file under a temporary name; removed unless Commit renamed it into place.
class TempOutput final : public PackageOut {
 public:
  explicit TempOutput(fs::path final_path) : final_(std::move(final_path)) {
    std::random_device rd;
    temp_ = final_;
    temp_ += ".partial-" + std::to_string(rd() & 0xFFFFFF);
    // a build stopped by Ctrl-C or a termination signal leaves nothing behind either
    on_signal_.emplace(temp_);
  }
  ~TempOutput() {
    file_.reset();
    if (!committed_) {
      std::error_code ec;
      fs::remove(temp_, ec);
    }
  }
  bool Open() {
    file_.reset(OpenForWriting(temp_));
    return file_ != nullptr;
  }
  bool Write(const void* data, std::size_t n) override {
    if (n == 0) return true;
    if (std::fwrite(data, 1, n, file_.get()) != n) return false;
    if (checksumming_) crc_ = Crc32(data, n, crc_);
    pos_ += n;
    return true;
  }
  std::uint64_t pos() const override { return pos_; }
  void StartChecksum() override { checksumming_ = true; }
  void StopChecksum() override { checksumming_ = false; }
  std::uint32_t crc() const override { return crc_; }
  // Writes the file out under its temporary name.
  bool Close(std::string& error) {
    if (!file_) return true;
    if (std::fflush(file_.get()) != 0 || std::fclose(file_.release()) != 0) {
      error = "cannot write " + PathToUtf8(temp_);
      return false;
    }
    return true;
  }
  // Moves `from` (the temporary file itself, or a signed copy of it) into place.
  bool Commit(std::string& error) { return Commit(temp_, error); }
  bool Commit(const fs::path& from, std::string& error) {
    if (!Close(error)) return false;
    std::error_code ec;
    fs::rename(from, final_, ec);
    if (ec) {
      error =
          "cannot rename " + PathToUtf8(from) + " to " + PathToUtf8(final_) + ": " + ec.message();
      return false;
    }
    committed_ = from == temp_;
    return true;
  }
  const fs::path& temp() const { return temp_; }

 private:
  fs::path final_, temp_;
  FilePtr file_;
  std::uint64_t pos_ = 0;
  bool committed_ = false;
  std::optional<RemoveOnSignal> on_signal_;
  bool checksumming_ = false;
  std::uint32_t crc_ = 0;
};

// The stub as the program part: a signature it carries (made here when signing, or by the vendor
// before) stays in front of the package, with its entry and CheckSum cleared in the header, so
// that the setup file can be signed as a whole; the two fields are kept in the record for the
// uninstaller copy. An unsigned stub is taken byte for byte.
bool PrepareStub(std::vector<std::uint8_t>& stub, const BuildOptions& options,
                 std::optional<StubSignature>& signature, std::string& error) {
  const std::string name = PathToUtf8(options.stub);
  PeSignatureFields f;
  const bool pe = ParsePeSignatureFields(stub, f);
  if (!pe && !options.sign) return true;
  if (!pe) {
    error = "stub " + name + " has no PE optional header with a certificate-table entry to sign";
    return false;
  }
  // the table must end the file, as signing tools leave it
  auto table_ends_stub = [&stub](const PeSignatureFields& g) {
    const std::uint64_t end = std::uint64_t{g.address} + g.size;
    return g.size > 0 && g.address > g.entry_at && end <= stub.size() &&
           stub.size() - end < kCertificateAlignment;
  };
  auto clear_fields = [&stub](const PeSignatureFields& g) {
    std::memset(stub.data() + g.checksum_at, 0, 4);
    std::memset(stub.data() + g.entry_at, 0, 8);
  };
  if (f.address != 0 || f.size != 0) {
    if (!table_ends_stub(f)) {
      error = "stub " + name + " has a certificate-table entry that does not name its end";
      return false;
    }
    if (options.sign) {  // signed again below, with this build's certificate
      stub.resize(f.address);
      clear_fields(f);
    }
  }
  if (options.sign) {
    std::vector<std::uint8_t> signed_stub;
    if (!SignBytes(*options.sign, stub, signed_stub, error)) return false;
    stub = std::move(signed_stub);
    if (!ParsePeSignatureFields(stub, f) || !table_ends_stub(f)) {
      error = "the signed stub holds no certificate table at its end";
      return false;
    }
  }
  if (f.address == 0 && f.size == 0) return true;
  signature = StubSignature{f.address, f.size, f.checksum};
  stub.resize(std::size_t{f.address} + f.size);  // the copy ends with the table
  clear_fields(f);
  return true;
}

// Licence text: UTF-8 in, Windows-1252 with CR LF line ends out.
bool LicenceText(const fs::path& path, std::string& out, std::string& error) {
  std::vector<std::uint8_t> raw;
  if (!ReadInputFile(path, kMaxLicenceBytes, "licence", raw, error)) return false;
  std::string_view text(reinterpret_cast<const char*>(raw.data()), raw.size());
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::u16string wide;
  for (char16_t ch : Utf8ToUtf16(text)) {
    if (ch == u'\r') continue;
    if (ch == u'\n') wide += u'\r';
    wide += ch;
  }
  bool lossless = true;
  out = ToCp1252(wide, &lossless);
  if (!lossless) {
    error = "licence " + PathToUtf8(path) + " holds a character that Windows-1252 cannot represent";
    return false;
  }
  return true;
}

// The side picture: a JPEG or BMP that the wizard's picture check takes, whole.
bool SidePicture(const fs::path& path, std::vector<std::uint8_t>& out, std::string& error) {
  if (!ReadInputFile(path, kMaxImageBytes, "image", out, error)) return false;
  if (!ReadPictureHeader(out.data(), out.size())) {
    error = "image " + PathToUtf8(path) + " is not a JPEG or BMP picture of 1 to " +
            std::to_string(kMaxPictureSide) + " pixels a side";
    return false;
  }
  return true;
}

// The file's modification time, no later than `clamp` when one is given.
double FileTime(const fs::path& path, std::optional<std::int64_t> clamp) {
  std::error_code ec;
  const auto t = fs::last_write_time(path, ec);
  if (ec) return 0;
  const auto sys = fs::file_time_type::clock::to_sys(t);
  const std::int64_t seconds =
      std::chrono::duration_cast<std::chrono::seconds>(sys.time_since_epoch()).count();
  return OleDateFromUnix(clamp ? std::min(seconds, *clamp) : seconds);
}

void EncodeJobs(std::vector<Job>& jobs, std::vector<std::unique_ptr<Encoder>>& encoders) {
  std::atomic<std::size_t> next{0};
  auto work = [&](Encoder& enc) {
    for (std::size_t i = next++; i < jobs.size(); i = next++) {
      jobs[i].blocks.clear();
      if (!jobs[i].data.empty()) enc.EncodeChunk(jobs[i].data, jobs[i].blocks);
    }
  };
  const std::size_t n = std::min(encoders.size(), jobs.size());
  if (n <= 1) {
    work(*encoders[0]);
    return;
  }
  std::vector<std::thread> threads;
  for (std::size_t t = 1; t < n; ++t) threads.emplace_back(work, std::ref(*encoders[t]));
  work(*encoders[0]);
  for (auto& th : threads) th.join();
}

// Reads a file in pieces, handing each to `use`; false when it cannot be read whole.
bool ReadPieces(const fs::path& path, std::uint64_t size,
                const std::function<void(const std::uint8_t*, std::size_t)>& use) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::vector<std::uint8_t> piece(kMaxChunk);
  for (std::uint64_t left = size; left > 0;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size()));
    if (!in.read(reinterpret_cast<char*>(piece.data()), static_cast<std::streamsize>(n)))
      return false;
    use(piece.data(), n);
    left -= n;
  }
  return true;
}

bool SameContent(const fs::path& a, const fs::path& b, std::uint64_t size) {
  std::ifstream ia(a, std::ios::binary), ib(b, std::ios::binary);
  if (!ia || !ib) return false;
  std::vector<char> pa(kMaxChunk), pb(kMaxChunk);
  for (std::uint64_t left = size; left > 0;) {
    const auto n = static_cast<std::streamsize>(std::min<std::uint64_t>(left, kMaxChunk));
    if (!ia.read(pa.data(), n) || !ib.read(pb.data(), n)) return false;
    if (std::memcmp(pa.data(), pb.data(), static_cast<std::size_t>(n)) != 0) return false;
    left -= static_cast<std::uint64_t>(n);
  }
  return true;
}

// For every file whose content equals an earlier file's, that file's index (else npos). Only
// files that share their size with another are read, and a matching CRC-32 is confirmed byte
// for byte, so a collision never merges two different files.
bool FindSharedContent(const std::vector<PackedFile>& files,
                       const std::vector<std::uint64_t>& sizes, std::vector<std::size_t>& same_as,
                       std::string& error) {
  same_as.assign(files.size(), std::string::npos);
  std::map<std::uint64_t, std::size_t> per_size;
  for (std::uint64_t size : sizes) ++per_size[size];
  std::map<std::pair<std::uint64_t, std::uint32_t>, std::vector<std::size_t>> seen;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (per_size[sizes[i]] < 2) continue;
    std::uint32_t crc = 0;
    if (!ReadPieces(files[i].source, sizes[i],
                    [&](const std::uint8_t* p, std::size_t n) { crc = Crc32(p, n, crc); })) {
      error = "cannot read " + PathToUtf8(files[i].source) + " (did it change while packing?)";
      return false;
    }
    auto& candidates = seen[{sizes[i], crc}];
    for (std::size_t c : candidates) {
      if (SameContent(files[c].source, files[i].source, sizes[i])) {
        same_as[i] = c;
        break;
      }
    }
    if (same_as[i] == std::string::npos) candidates.push_back(i);
  }
  return true;
}

}  // namespace

namespace {
bool StubCarries(const std::vector<std::uint8_t>& stub, std::string_view mark) {
  return std::search(stub.begin(), stub.end(),
                     std::boyer_moore_horspool_searcher(mark.begin(), mark.end())) != stub.end();
}
}  // namespace

bool StubReadsCompactDirectory(const std::vector<std::uint8_t>& stub) {
  return StubCarries(stub, kCompactDirectoryCapability);
}

bool StubReadsLzma2(const std::vector<std::uint8_t>& stub) {
  return StubCarries(stub, kLzma2Capability);
}

double OleDateFromUnix(std::int64_t seconds) {
  return 25569.0 + static_cast<double>(seconds) / 86400.0;
}

bool IsPeExecutable(const std::vector<std::uint8_t>& b) {
  if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z') return false;
  const std::uint32_t lfanew = static_cast<std::uint32_t>(b[0x3C]) | (b[0x3D] << 8) |
                               (b[0x3E] << 16) | (static_cast<std::uint32_t>(b[0x3F]) << 24);
  return lfanew <= b.size() - 4 && std::memcmp(b.data() + lfanew, "PE\0\0", 4) == 0;
}

bool SolidOrderLess(const PackedFile& a, const PackedFile& b) {
  auto lower = [](std::u16string s) {
    for (auto& c : s)
      if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
  };
  auto extension = [](const std::u16string& name) {
    const auto dot = name.rfind(u'.');
    return dot == std::u16string::npos || dot == 0 ? std::u16string() : name.substr(dot + 1);
  };
  const std::u16string an = lower(a.filename), bn = lower(b.filename);
  const std::u16string ae = extension(an), be = extension(bn);
  if (ae != be) return ae < be;
  if (an != bn) return an < bn;
  return lower(a.subfolder) < lower(b.subfolder);
}

// Sizes are taken up front: the chunking depends on them, and a file that changes while it is
// packed is caught when it no longer has them.
bool PackageBuild::Walk(std::string& error) {
  files = m.files;
  if (codec == Codec::kLzma2) std::stable_sort(files.begin(), files.end(), SolidOrderLess);
  sizes.clear();
  total = 0;
  for (const auto& f : files) {
    std::error_code ec;
    const auto size = fs::file_size(f.source, ec);
    if (ec) {
      error = "cannot read " + PathToUtf8(f.source) + ": " + ec.message();
      return false;
    }
    sizes.push_back(size);
    total += size;
  }
  return true;
}

bool PackageBuild::Dedupe(std::string& error) {
  return FindSharedContent(files, sizes, same_as, error);
}

bool PackageBuild::PlanRecords(std::string& error) {
  records.assign(files.size(), DirectoryRecord{});
  crcs.assign(files.size(), 0);
  // chain starting values come straight from the system's random source unless a test fixes them
  std::random_device random;
  std::mt19937_64 seeded(options.chainseed.value_or(0));
  auto next_chain = [&]() -> std::uint64_t {
    if (options.chainseed) return seeded();
    return (std::uint64_t{random()} << 32) | random();
  };
  for (std::size_t i = 0; i < files.size(); ++i) {
    DirectoryRecord& r = records[i];
    std::memset(&r, 0, sizeof r);
    if (cipher && codec == Codec::kClassic) {
      const std::uint64_t v = next_chain();
      r.chainleft = static_cast<std::uint32_t>(v);
      r.chainright = static_cast<std::uint32_t>(v >> 32);
    }
    WriteWide(r.filename, files[i].filename);
    WriteWide(r.subfolder, files[i].subfolder);
    r.filesize = static_cast<std::int64_t>(sizes[i]);
    r.attributes = files[i].attributes;
    r.filetime = FileTime(files[i].source, options.source_date_epoch);
    // a file stored once for several records is enciphered with the first record's chain
    if (same_as[i] != std::string::npos) {
      r.chainleft = records[same_as[i]].chainleft;
      r.chainright = records[same_as[i]].chainright;
    }
  }
  if (codec == Codec::kLzma2) {
    solid = SolidStreamRef{};
    if (cipher) {
      const std::uint64_t v = next_chain();
      solid->chainleft = static_cast<std::uint32_t>(v);
      solid->chainright = static_cast<std::uint32_t>(v >> 32);
    }
  }
  if (!options.classic_directory) {
    // what every reader will have to hold, refused before any content is packed
    if (records.size() > kMaxDirectoryRecords) {
      error = std::to_string(records.size()) + " files: a package holds at most " +
              std::to_string(kMaxDirectoryRecords);
      return false;
    }
    Directory held;
    for (const DirectoryRecord& r : records) held.Add(r);
    if (held.HeldBytes() > kMaxDirectoryHeldBytes) {
      error = "the directory's names would take " + std::to_string(held.HeldBytes() >> 20) +
              " MiB to read, more than the " + std::to_string(kMaxDirectoryHeldBytes >> 20) +
              " MiB a reader allows";
      return false;
    }
  }
  return true;
}

bool PackageBuild::LimitReached(const PackageOut& out, std::string& error) const {
  // the classic directory's size: an upper bound of the compact one
  const std::uint64_t directory = kDirectoryRecordSize * files.size() + kDirectoryTrailerSize;
  if (static_cast<std::int64_t>(out.pos() + directory) <= options.limit) return false;
  error = "the package would pass the format's limit of 2 GiB (" + std::to_string(options.limit) +
          " bytes up to the end of the directory)";
  return true;
}

bool PackageBuild::Encode(PackageOut& out, std::string& error) {
  auto header = std::make_unique<PackageHeader>();
  std::memset(header.get(), 0, sizeof(PackageHeader));
  std::memcpy(header->magic, kPackageMagic.data(), 4);
  header->formatversion = 4;
  header->encrypted = cipher ? 1 : 0;
  const std::u16string title = FromCp1252(m.displayname);
  for (std::size_t i = 0; i < title.size() && i + 1 < std::size(header->title); ++i) {
    header->title[i] = title[i];
  }
  header->compressed = 1;
  if (password_data) {
    ExtensionBuilder reserved(header->reserved2080);
    AddPasswordData(reserved, *password_data);
    reserved.Finish();
  }
  header->buildtime = options.buildtime.value_or(OleDateFromUnix(
      options.source_date_epoch.value_or(std::chrono::duration_cast<std::chrono::seconds>(
                                             std::chrono::system_clock::now().time_since_epoch())
                                             .count())));
  if (!out.Write(header.get(), sizeof(PackageHeader))) return false;
  const std::uint64_t data_start = out.pos();
  if (!(codec == Codec::kLzma2 ? EncodeSolidStream(out, error) : EncodeClassic(out, error)))
    return false;
  result.data_bytes = out.pos() - data_start;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (same_as[i] == std::string::npos) continue;
    records[i].dataoffset = records[same_as[i]].dataoffset;
    records[i].storedsize = records[same_as[i]].storedsize;
    crcs[i] = crcs[same_as[i]];  // the same content, read once
    ++result.shared_files;
    result.shared_bytes += sizes[i];
  }
  for (std::size_t i = 0; i < records.size(); ++i) SetFileContentCrc(records[i], crcs[i]);
  return true;
}

static unsigned Threads(const BuildOptions& options) {
  unsigned threads = options.threads ? options.threads : std::thread::hardware_concurrency();
  return threads == 0 ? 1 : threads;
}

bool PackageBuild::EncodeClassic(PackageOut& out, std::string& error) {
  const unsigned threads = Threads(options);
  std::vector<std::unique_ptr<Encoder>> encoders;
  for (unsigned t = 0; t < threads; ++t)
    encoders.push_back(std::make_unique<Encoder>(options.level));
  const std::size_t batch = std::size_t{threads} * 8;

  std::vector<Job> jobs;
  std::ifstream in;
  std::size_t file = 0;      // next file to read from
  std::uint64_t offset = 0;  // bytes of it read so far
  bool started = false;      // its first chunk is out
  std::uint64_t done = 0;
  auto flush = [&]() -> bool {
    EncodeJobs(jobs, encoders);
    for (Job& job : jobs) {
      DirectoryRecord& r = records[job.file];
      if (job.first) r.dataoffset = static_cast<std::int64_t>(out.pos() - packageoffset);
      if (job.blocks.empty()) {  // an empty file: one header that ends it
        BlockHeader h{};
        h.marker = kBlockMarker;
        h.lastblock = 1;
        if (!out.Write(&h, sizeof h)) return false;
      }
      for (std::size_t b = 0; b < job.blocks.size(); ++b) {
        EncodedBlock& block = job.blocks[b];
        if (block.payload.size() != PayloadBytes(block.bitcount) || block.bitcount == 0 ||
            block.bitcount > kMaxBlockBits) {
          error = "internal error: the encoder produced an invalid block";
          return false;
        }
        BlockHeader h{};
        h.marker = kBlockMarker;
        h.coded = block.coded ? 1 : 0;
        h.bitcount = block.bitcount;
        h.lastblock = job.last && b + 1 == job.blocks.size() ? 1 : 0;
        if (cipher) {
          EncipherPayload(*cipher, block.payload.data(), block.payload.size(), r.chainleft,
                          r.chainright);
        }
        if (!out.Write(&h, sizeof h) || !out.Write(block.payload.data(), block.payload.size()))
          return false;
        r.storedsize += static_cast<std::int64_t>(block.payload.size());
      }
      crcs[job.file] = Crc32(job.data.data(), job.data.size(), crcs[job.file]);
      done += job.data.size();
    }
    jobs.clear();
    if (LimitReached(out, error)) return false;
    if (options.progress) options.progress(done, total);
    return true;
  };

  while (file < files.size()) {
    if (!started && same_as[file] != std::string::npos) {
      done += sizes[file];
      ++file;
      continue;
    }
    const bool first = !started;
    if (!started) {
      in = std::ifstream(files[file].source, std::ios::binary);
      if (!in) {
        error = "cannot open " + PathToUtf8(files[file].source);
        return false;
      }
      started = true;
      offset = 0;
    }
    Job job;
    job.file = file;
    job.first = first;
    const std::uint64_t want = std::min<std::uint64_t>(kMaxChunk, sizes[file] - offset);
    job.data.resize(want);
    if (want > 0 &&
        !in.read(reinterpret_cast<char*>(job.data.data()), static_cast<std::streamsize>(want))) {
      error = "cannot read " + PathToUtf8(files[file].source) + " (did it change while packing?)";
      return false;
    }
    offset += want;
    job.last = offset == sizes[file];
    jobs.push_back(std::move(job));
    if (jobs.back().last) {
      if (in.peek() != std::char_traits<char>::eof()) {
        error = PathToUtf8(files[file].source) + " grew while it was packed";
        return false;
      }
      in.close();
      ++file;
      started = false;
    }
    if (jobs.size() >= batch && !flush()) return false;
  }
  return jobs.empty() || flush();
}

// The stored files' content, in directory order, as one stream cut into stored blocks.
bool PackageBuild::EncodeSolidStream(PackageOut& out, std::string& error) {
  SolidStreamRef& ref = *solid;
  ref.codec = Codec::kLzma2;
  ref.dataoffset = static_cast<std::int64_t>(out.pos() - packageoffset);
  std::uint64_t content = 0;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (same_as[i] != std::string::npos) continue;
    records[i].dataoffset = static_cast<std::int64_t>(content);
    content += sizes[i];
  }
  ref.unpacked = content;
  ref.dictionary = Lzma2DictionaryProp(SolidDictionary(options.solid, content));

  // the reader: file by file, each checked against its size taken at the walk
  std::size_t file = 0;
  std::uint64_t offset = 0, done = 0;
  std::ifstream in;
  auto read = [&](std::uint8_t* to, std::size_t n) -> bool {
    while (n > 0) {
      while (file < files.size() && (same_as[file] != std::string::npos || offset == sizes[file])) {
        if (same_as[file] == std::string::npos && in.is_open()) {
          if (in.peek() != std::char_traits<char>::eof()) {
            error = PathToUtf8(files[file].source) + " grew while it was packed";
            return false;
          }
          in.close();
        }
        done += same_as[file] == std::string::npos ? 0 : sizes[file];
        ++file;
        offset = 0;
      }
      if (file == files.size()) {
        error = "internal error: the solid stream ran past its files";
        return false;
      }
      if (!in.is_open()) {
        in = std::ifstream(files[file].source, std::ios::binary);
        if (!in) {
          error = "cannot open " + PathToUtf8(files[file].source);
          return false;
        }
      }
      const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(n, sizes[file] - offset));
      if (!in.read(reinterpret_cast<char*>(to), static_cast<std::streamsize>(take))) {
        error = "cannot read " + PathToUtf8(files[file].source) + " (did it change while packing?)";
        return false;
      }
      crcs[file] = Crc32(to, take, crcs[file]);
      offset += take;
      done += take;
      to += take;
      n -= take;
    }
    if (options.progress) options.progress(done, total);
    return true;
  };

  // the writer: whole blocks of 65536 stream bytes, the last one marked
  std::vector<std::uint8_t> pending;
  std::uint64_t blocks = 0;
  auto put_block = [&](std::size_t n, bool last) -> bool {
    std::vector<std::uint8_t> payload(PayloadBytes(static_cast<std::uint32_t>(n * 8)), 0);
    std::memcpy(payload.data(), pending.data(), n);
    if (cipher) {
      EncipherPayload(*cipher, payload.data(), payload.size(), SolidChainLeft(ref, blocks),
                      ref.chainright);
    }
    BlockHeader h{};
    h.marker = kBlockMarker;
    h.bitcount = static_cast<std::uint32_t>(n * 8);
    h.lastblock = last ? 1 : 0;
    if (!out.Write(&h, sizeof h) || !out.Write(payload.data(), payload.size())) {
      error.clear();
      return false;
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(n));
    ref.packed += n;
    ++blocks;
    return !LimitReached(out, error);
  };
  auto emit = [&](std::span<const std::uint8_t> piece) -> bool {
    pending.insert(pending.end(), piece.begin(), piece.end());
    // more than a block pending: the last block is always one that holds the end mark
    while (pending.size() > kMaxChunk) {
      if (!put_block(kMaxChunk, false)) return false;
    }
    return true;
  };
  // the fast level trades a little ratio for several times the speed
  SolidSettings settings = options.solid;
  if (options.level == Level::kFast) {
    settings.preset = std::min<std::uint32_t>(settings.preset, 6);
    settings.extreme = false;
  }
  if (!EncodeSolid(content, settings, Threads(options), read, emit, error)) return false;
  while (pending.size() > kMaxChunk) {
    if (!put_block(kMaxChunk, false)) return false;
  }
  if (!put_block(pending.size(), true)) return false;
  if (in.is_open() && in.peek() != std::char_traits<char>::eof()) {
    error = PathToUtf8(files[file].source) + " grew while it was packed";
    return false;
  }
  if (options.progress) options.progress(total, total);
  return true;
}

bool PackageBuild::WriteRun(PackageOut& out, const std::vector<std::uint8_t>& stream) {
  std::vector<Job> runs;
  for (std::size_t at = 0; at < stream.size(); at += kMaxChunk) {
    Job job;
    const auto end = std::min(stream.size(), at + kMaxChunk);
    job.data.assign(stream.begin() + static_cast<std::ptrdiff_t>(at),
                    stream.begin() + static_cast<std::ptrdiff_t>(end));
    runs.push_back(std::move(job));
  }
  std::vector<std::unique_ptr<Encoder>> encoders;
  for (unsigned t = 0; t < Threads(options); ++t)
    encoders.push_back(std::make_unique<Encoder>(options.level));
  EncodeJobs(runs, encoders);
  std::vector<const EncodedBlock*> blocks;
  for (const Job& job : runs)
    for (const EncodedBlock& b : job.blocks) blocks.push_back(&b);
  if (blocks.empty()) {  // nothing: a run that ends at once
    BlockHeader h{};
    h.marker = kBlockMarker;
    h.lastblock = 1;
    if (!out.Write(&h, sizeof h)) return false;
  }
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    BlockHeader h{};
    h.marker = kBlockMarker;
    h.coded = blocks[b]->coded ? 1 : 0;
    h.bitcount = blocks[b]->bitcount;
    h.lastblock = b + 1 == blocks.size() ? 1 : 0;
    if (!out.Write(&h, sizeof h) ||
        !out.Write(blocks[b]->payload.data(), blocks[b]->payload.size()))
      return false;
  }
  return true;
}

bool PackageBuild::WriteDirectory(PackageOut& out, std::string& error) {
  LocaleData shown = m.locale;
  shown.picture = picture;
  if (const std::vector<std::uint8_t> locale = EncodeLocale(shown); !locale.empty()) {
    LocaleRef ref;
    ref.dataoffset = static_cast<std::int64_t>(out.pos() - packageoffset);
    ref.length = locale.size();
    ref.crc = Crc32(locale.data(), locale.size());
    if (!WriteRun(out, locale)) return false;
    std::vector<std::uint8_t> item(LocaleRef::kItemSize);
    ref.Store(item.data());
    directory_items.push_back({ConfigTag::kLocale, std::move(item)});
    result.locale_bytes = out.pos() - packageoffset - static_cast<std::uint64_t>(ref.dataoffset);
  }
  const std::uint64_t directory_start = out.pos();
  if (options.classic_directory) {
    for (const auto& r : records) {
      if (!out.Write(&r, sizeof r)) return false;
    }
  } else {
    std::vector<std::uint8_t> stream;
    for (std::size_t i = 0; i < records.size(); ++i) {
      AppendCompactRecord(records[i], i ? &records[i - 1] : nullptr, stream);
    }
    CompactDirectoryRef ref;
    ref.dataoffset = static_cast<std::int64_t>(out.pos() - packageoffset);
    ref.count = static_cast<std::uint32_t>(records.size());
    ref.length = stream.size();
    ref.crc = Crc32(stream.data(), stream.size());
    if (!WriteRun(out, stream)) return false;
    std::vector<std::uint8_t> item(CompactDirectoryRef::kItemSize);
    ref.Store(item.data());
    // a solid package's directory goes under a tag older setup programs do not know, so that
    // they find only the placeholder
    directory_items.push_back(
        {solid ? ConfigTag::kSolidDirectory : ConfigTag::kCompactDirectory, std::move(item)});
    if (solid) {
      std::vector<std::uint8_t> stream_item(SolidStreamRef::kItemSize);
      solid->Store(stream_item.data());
      directory_items.push_back({ConfigTag::kSolidStream, std::move(stream_item)});
    }
    // older setup programs find one record they refuse before creating anything
    auto placeholder = std::make_unique<DirectoryRecord>();
    std::memset(placeholder.get(), 0, sizeof(DirectoryRecord));
    WriteWide(placeholder->filename, kCompactPlaceholderName);
    if (!out.Write(placeholder.get(), sizeof(DirectoryRecord))) return false;
  }
  DirectoryTrailer trailer{};
  std::memcpy(trailer.magic, kPackageMagic.data(), 4);
  trailer.filecount = options.classic_directory ? static_cast<std::int32_t>(records.size()) : 1;
  if (!out.Write(&trailer, sizeof trailer)) return false;
  result.directory_bytes = out.pos() - directory_start;
  if (static_cast<std::int64_t>(out.pos()) > options.limit) {
    error = "the package would pass the format's limit of 2 GiB";
    return false;
  }
  return true;
}

bool PackageBuild::WriteRecord(PackageOut& out, const std::string& licence,
                               const std::optional<StubSignature>& stub_signature,
                               std::string& error) {
  const std::uint64_t licenseoffset = out.pos();
  if (!out.Write(licence.data(), licence.size())) return false;
  // A file whose length is a multiple of 8 gets its certificate table right behind the record:
  // signing tools pad anything else with zeros, which could not be told from the record's own
  // zero tail. The padding lies in the licence region, read only up to its first zero byte.
  static_assert(kConfigRecordSize % kCertificateAlignment == 0);
  const std::size_t padding =
      (kCertificateAlignment - out.pos() % kCertificateAlignment) % kCertificateAlignment;
  const std::uint8_t zeros[kCertificateAlignment] = {};
  if (!out.Write(zeros, padding)) return false;
  out.StopChecksum();
  const std::uint64_t recordpos = out.pos();

  auto config = std::make_unique<ConfigRecord>();
  std::memset(config.get(), 0, sizeof(ConfigRecord));
  WriteShort(config->setupmarker, kSetupMarker);
  config->reserved24 = 2;
  config->packageoffset = static_cast<std::int32_t>(packageoffset);
  WriteWide(config->programgroup, m.programgroup);
  WriteShort(config->exename, m.exename);
  WriteShort(config->version, m.version);
  config->reserved2401 = 1;
  WriteShort(config->displayname, m.displayname);
  config->reserved2658 = 1;
  WriteWide(config->installfolder, m.installfolder);
  WriteShort(config->appdatafolder, m.appdatafolder);
  for (std::size_t i = 0; i < m.services.size() && i < 5; ++i) {
    WriteShort(config->servicefiles[i], m.services[i].file);
    WriteShort(config->servicenames[i], m.services[i].name);
  }
  for (std::size_t i = 0; i < m.shortcuts.size() && i < 6; ++i) {
    WriteShort(config->shortcutfiles[i], m.shortcuts[i].target);
    WriteShort(config->shortcutcaptions[i], m.shortcuts[i].caption);
  }
  config->haslicense = m.licence ? 1 : 0;
  config->licenseoffset = static_cast<std::int32_t>(licenseoffset);
  WriteShort(config->assocext, m.assocext);
  WriteShort(config->assocclass, m.assocclass);
  WriteShort(config->assocdescription, m.assocdescription);
  WriteShort(config->assocprogram, m.assocprogram);

  // The extension goes last: the checksum covers every field in front of it.
  std::vector<ConfigItem> items = options.config_items;
  if (stub_signature) {
    std::uint8_t bytes[kStubSignatureBytes];
    EncodeStubSignature(*stub_signature, bytes);
    items.push_back({ConfigTag::kStubSignature, {std::begin(bytes), std::end(bytes)}});
  }
  {
    std::uint8_t bytes[kPackageChecksumBytes];
    EncodePackageChecksum({ContinueWithRecord(out.crc(), *config), recordpos - packageoffset},
                          bytes);
    items.push_back({ConfigTag::kPackageChecksum, {std::begin(bytes), std::end(bytes)}});
  }
  ExtensionBuilder extension(std::span(config->reserved11628));
  if (!AddPublisherInfo(extension, PublisherInfo{m.publisher, m.url}) ||
      (!m.id.empty() && !AddProductId(extension, m.id)) || !AddPackageScope(extension, m.scope)) {
    error = "publisher, url, id and scope do not fit the record";
    return false;
  }
  for (const ConfigItem& item : directory_items) items.push_back(item);
  for (const ConfigItem& item : items) {
    if (!extension.Add(item.tag, std::span<const std::uint8_t>(item.bytes))) {
      error = "the Configuration record has no room for all its extension items";
      return false;
    }
  }
  extension.Finish();
  return out.Write(config.get(), sizeof(ConfigRecord));
}

bool BuildPackage(const Manifest& m, const BuildOptions& options, BuildResult& result,
                  std::string& error) {
  result = BuildResult{};
  PackageBuild build(m, options);
  // the classic directory is for setup programs that read no compact directory, and those read
  // no LZMA2 either: it takes the classic codec unless one is named
  build.codec = options.codec.value_or(m.codec == "classic"        ? Codec::kClassic
                                       : m.codec == "lzma2"        ? Codec::kLzma2
                                       : options.classic_directory ? Codec::kClassic
                                                                   : DefaultCodec());
  std::vector<fs::path> inputs{options.stub};
  if (m.licence) inputs.push_back(*m.licence);
  if (m.image) inputs.push_back(*m.image);
  for (const auto& f : m.files) inputs.push_back(f.source);
  if (!CheckOutputIsNoInput(options.output, inputs, error)) return false;
  std::vector<std::uint8_t> stub;
  if (!ReadInputFile(options.stub, static_cast<std::uint64_t>(options.limit), "stub", stub,
                     error)) {
    return false;
  }
  if (!IsPeExecutable(stub)) {
    error = "stub " + PathToUtf8(options.stub) + " is not a PE executable";
    return false;
  }
  if (m.scope != InstallScope::kMachine) {
    // one user's setup asks for no elevation: the stub's manifest says so before any signing
    PeSignatureFields f;
    if (!options.sign && ParsePeSignatureFields(stub, f) && (f.address != 0 || f.size != 0)) {
      error = "stub " + PathToUtf8(options.stub) +
              " is signed, and a per-user package changes its manifest, which would break that "
              "signature; give the unsigned stub and --sign";
      return false;
    }
    if (!RequestAsInvoker(stub, error)) {
      error = "stub " + PathToUtf8(options.stub) + " cannot run without elevation: " + error;
      return false;
    }
  }
  std::optional<StubSignature> stubsignature;
  if (!PrepareStub(stub, options, stubsignature, error)) return false;
  if (static_cast<std::int64_t>(stub.size()) >= options.limit) {
    error = "stub " + PathToUtf8(options.stub) + " is too large for the format's 2 GiB limit";
    return false;
  }
  if (build.codec == Codec::kLzma2) {
    if (options.classic_directory) {
      error =
          "an LZMA2 package needs the compact directory: --classic-directory is for setup "
          "programs that cannot read it, and they cannot read LZMA2 either (use --codec "
          "classic)";
      return false;
    }
    if (!StubReadsLzma2(stub)) {
      error = "stub " + PathToUtf8(options.stub) +
              " cannot read LZMA2 packages (an older setup program?); use a current stub or "
              "--codec classic";
      return false;
    }
  }
  if (!options.classic_directory && !StubReadsCompactDirectory(stub)) {
    error = "stub " + PathToUtf8(options.stub) +
            " cannot read a compact directory (an older setup program?); use a current stub or "
            "--classic-directory";
    return false;
  }
  if (!options.key.empty()) {
    build.cipher = std::make_unique<CipherState>();
    if (!MakeCipherState(options.key, *build.cipher)) {
      error = "the key must be 1 to 56 bytes long";
      return false;
    }
  }
  if (options.password) {
    if (build.cipher) {
      error = "a package takes a key or a password, not both";
      return false;
    }
    if (options.password->empty()) {
      error = "the password is empty";
      return false;
    }
    PasswordData d;
    d.iterations = options.iterations ? options.iterations : kDefaultIterations;
    if (d.iterations > kMaxIterations) {
      error = "at most " + std::to_string(kMaxIterations) + " iterations";
      return false;
    }
    std::random_device rd;
    std::mt19937_64 fixed(options.saltseed.value_or(0));
    for (auto& b : d.salt) b = static_cast<std::uint8_t>(options.saltseed ? fixed() : rd());
    const PasswordKey derived = DerivePasswordKey(*options.password, d.salt, d.iterations);
    d.verifier = derived.verifier;
    build.cipher = std::make_unique<CipherState>();
    MakeCipherState(derived.key, *build.cipher);
    build.password_data = d;
  }
  std::string licence;
  if (m.licence && !LicenceText(*m.licence, licence, error)) return false;
  if (m.image && !SidePicture(*m.image, build.picture, error)) return false;

  if (!build.Walk(error) || !build.Dedupe(error) || !build.PlanRecords(error)) return false;

  TempOutput out(options.output);
  if (!out.Open()) {
    error = "cannot create " + PathToUtf8(out.temp()) + ": " + std::strerror(errno);
    return false;
  }
  auto failed = [&] {
    if (error.empty()) error = "cannot write " + PathToUtf8(out.temp());
    return false;
  };
  error.clear();
  if (!out.Write(stub.data(), stub.size())) return failed();
  build.packageoffset = stub.size();
  out.StartChecksum();
  if (!build.Encode(out, error) || !build.WriteDirectory(out, error) ||
      !build.WriteRecord(out, licence, stubsignature, error)) {
    return failed();
  }
  result = build.result;
  result.codec = build.codec;
  result.files = m.files.size();
  result.content_bytes = build.total;
  result.package_bytes = out.pos() - build.packageoffset;
  result.stub_signed = stubsignature.has_value();
  if (!options.sign) return out.Commit(error);

  // signed into a second temporary file, which must still carry the package where it was
  if (!out.Close(error)) return false;
  fs::path signed_path = out.temp();
  signed_path += ".signed";
  if (!SignFile(*options.sign, out.temp(), signed_path, error)) return false;
  auto host = MakeHostFileSystem();
  auto check = host->NewFile();
  PackageExtent extent;
  if (check->OpenRead(PackagePath(signed_path))) extent = FindPackageEnd(*check);
  check->Close();
  if (!extent.signed_ || static_cast<std::uint64_t>(extent.end) != out.pos()) {
    std::error_code ec;
    fs::remove(signed_path, ec);
    error = "the signing tool did not append its certificate table right behind the package";
    return false;
  }
  if (!out.Commit(signed_path, error)) return false;
  result.output_signed = true;
  return true;
}

}  // namespace kestrel::pack
