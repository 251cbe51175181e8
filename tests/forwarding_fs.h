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

using kestrel::ForwardingFileSystem;

}  // namespace kestrel::testing
