// Test doubles of the file system: every call handed to another file system (the host's, as a
// rule), so a double overrides only the calls it changes.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "package/pkgfile.h"

namespace kestrel::testing {

class ForwardingFile : public PackageFile {
 public:
  explicit ForwardingFile(std::unique_ptr<PackageFile> f) : f_(std::move(f)) {}
  bool OpenRead(const std::u16string& p) override { return f_->OpenRead(p); }
  bool CreateWrite(const std::u16string& p) override { return f_->CreateWrite(p); }
  std::uint32_t Read(void* b, std::uint32_t& n) override { return f_->Read(b, n); }
  bool Write(const void* b, std::uint32_t n) override { return f_->Write(b, n); }
  void Close() override { f_->Close(); }
  bool IsOpen() const override { return f_->IsOpen(); }
  std::int64_t Size() override { return f_->Size(); }
  std::int64_t Position() override { return f_->Position(); }
  bool Seek(std::int64_t p) override { return f_->Seek(p); }
  bool Attributes(std::uint32_t& a) override { return f_->Attributes(a); }

 protected:
  std::unique_ptr<PackageFile> f_;
};

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

 protected:
  FileSystem& host_;
};

}  // namespace kestrel::testing
