// The Package file handle and the folder operations, over a small file-system interface with
// one implementation per platform (POSIX for the packer and host tests, Win32 for setup.exe).
//
// Paths are UTF-16 Windows paths everywhere ("C:\Apps\Tool\x.dll"); the POSIX implementation maps
// backslashes to the host's separator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// One open file. Every operation is one call into the system: no buffering of its own.
class PackageFile {
 public:
  virtual ~PackageFile() = default;

  // Opens an existing file for reading; others may read but not write it meanwhile.
  virtual bool OpenRead(const std::u16string& path) = 0;
  // Makes the folder chain of the path's folder part (outcome ignored), then creates the file
  // for exclusive writing, replacing an existing one.
  virtual bool CreateWrite(const std::u16string& path) = 0;
  // Reads up to n bytes at the current position; n and the result both become the count read
  // (0 when the call fails).
  virtual std::uint32_t Read(void* buffer, std::uint32_t& n) = 0;
  // True only when all n bytes were written.
  virtual bool Write(const void* buffer, std::uint32_t n) = 0;
  virtual void Close() = 0;
  // Has the system put what was written on the disk before it returns (a journal's entry
  // before the change it guards); true where there is nothing to do.
  virtual bool Flush() { return true; }
  virtual bool IsOpen() const = 0;
  virtual std::int64_t Size() = 0;
  virtual std::int64_t Position() = 0;
  // Moves to an absolute position; false when the system refuses (e.g. a negative position).
  virtual bool Seek(std::int64_t position) = 0;
  // The open file's attribute bits as the system reports them; false when they are not known
  // (the caller then sets them without comparing).
  virtual bool Attributes(std::uint32_t& attributes) {
    static_cast<void>(attributes);
    return false;
  }

  // Seek, then Read. When the seek fails it returns 0 and leaves n unchanged.
  std::uint32_t ReadAt(void* buffer, std::uint32_t& n, std::int64_t position) {
    if (!Seek(position)) return 0;
    return Read(buffer, n);
  }
};

// Another open file, read through without owning it: it is never opened or closed here, so its
// owner keeps it (setup's own file, checked at start-up, read again by the install).
class BorrowedFile final : public PackageFile {
 public:
  explicit BorrowedFile(PackageFile& file) : f_(file) {}
  bool OpenRead(const std::u16string&) override { return false; }
  bool CreateWrite(const std::u16string&) override { return false; }
  std::uint32_t Read(void* buffer, std::uint32_t& n) override { return f_.Read(buffer, n); }
  bool Write(const void* buffer, std::uint32_t n) override { return f_.Write(buffer, n); }
  void Close() override {}
  bool IsOpen() const override { return f_.IsOpen(); }
  std::int64_t Size() override { return f_.Size(); }
  std::int64_t Position() override { return f_.Position(); }
  bool Seek(std::int64_t position) override { return f_.Seek(position); }
  bool Attributes(std::uint32_t& attributes) override { return f_.Attributes(attributes); }

 private:
  PackageFile& f_;
};

// The folder and file operations the file step and the uninstaller rely on.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual std::unique_ptr<PackageFile> NewFile() = 0;
  // A directory search for exactly this path: true when an entry exists; `is_folder` tells
  // whether it carries the folder attribute.
  virtual bool FindEntry(const std::u16string& path, bool& is_folder) = 0;
  // Creates one folder; its parent must exist.
  virtual bool CreateFolder(const std::u16string& path) = 0;
  // Sets the file's attribute bits (Windows attribute values; POSIX maps read-only).
  virtual bool ApplyAttributes(const std::u16string& path, std::uint32_t attributes) = 0;
  virtual bool RemoveFile(const std::u16string& path) = 0;
  // Removes one empty folder.
  virtual bool RemoveFolder(const std::u16string& path) = 0;
  // Puts the file `from` in the place of `to` in one step, replacing a file there.
  virtual bool MoveReplacing(const std::u16string& from, const std::u16string& to) = 0;
  // Appends the names of the files in a folder (not of its folders; their short names too, where
  // the system keeps them), in no order: one search for a folder's files in place of one for
  // each; none for a folder that is not there. False when it could not be listed whole.
  virtual bool ListFiles(const std::u16string& folder, std::vector<std::u16string>& names) {
    static_cast<void>(folder);
    static_cast<void>(names);
    return false;
  }
  // Told before a large buffer is first written; a host where first touches of fresh memory are
  // dear may back it with large pages. Nothing by default.
  virtual void PrepareLargeBuffer(void* data, std::size_t bytes) {
    static_cast<void>(data);
    static_cast<void>(bytes);
  }
};

// A file system that hands every call to another one: a decorator overrides only the calls it
// changes, so a call added to FileSystem cannot be dropped by one that forgot it.
class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(FileSystem& host) : host_(host) {}
  std::unique_ptr<PackageFile> NewFile() override { return host_.NewFile(); }
  bool FindEntry(const std::u16string& p, bool& d) override { return host_.FindEntry(p, d); }
  bool CreateFolder(const std::u16string& p) override { return host_.CreateFolder(p); }
  bool ApplyAttributes(const std::u16string& p, std::uint32_t a) override {
    return host_.ApplyAttributes(p, a);
  }
  bool RemoveFile(const std::u16string& p) override { return host_.RemoveFile(p); }
  bool RemoveFolder(const std::u16string& p) override { return host_.RemoveFolder(p); }
  bool MoveReplacing(const std::u16string& a, const std::u16string& b) override {
    return host_.MoveReplacing(a, b);
  }
  bool ListFiles(const std::u16string& p, std::vector<std::u16string>& names) override {
    return host_.ListFiles(p, names);
  }
  void PrepareLargeBuffer(void* data, std::size_t bytes) override {
    host_.PrepareLargeBuffer(data, bytes);
  }

 protected:
  FileSystem& host_;
};

// A drive ("C:" or "C:\") counts as present without a search.
bool FolderExists(FileSystem& fs, const std::u16string& path);
// Makes a folder and every missing folder above it; false for an empty path.
bool CreateFolderChain(FileSystem& fs, const std::u16string& path);
// False for a device name (see IsDeviceName); otherwise true when a search finds a non-folder.
bool FilePresent(FileSystem& fs, const std::u16string& path);

// The host's file system for the packer and the host tests: POSIX, or on Windows the system's
// (BindFileFunctions64 first).
std::unique_ptr<FileSystem> MakeHostFileSystem();

}  // namespace kestrel
