// The publisher's metadata of a package: the `publisher` and `url` manifest keys, carried in
// the Configuration record's reserved tail as items of the shared extension. A record without
// a valid extension (an older packer's zeros, noise) has neither.
#pragma once

#include <string>

#include "package/extension.h"
#include "package/records.h"

namespace kestrel {

struct PublisherInfo {
  std::string publisher;  // code page text, at most 255 bytes; empty: none
  std::string url;
};

PublisherInfo ReadPublisherInfo(const ConfigRecord& config);

// Adds the non-empty fields to an extension of the record's tail; false when they do not fit.
bool AddPublisherInfo(ExtensionBuilder& tail, const PublisherInfo& info);

}  // namespace kestrel
