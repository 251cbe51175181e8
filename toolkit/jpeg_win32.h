// JPEG pictures decoded with libjpeg into 32-bit DIB sections.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "toolkit/controls_win32.h"

namespace kestrel::ui {

// Decodes a JPEG held in memory; null when it is not a JPEG libjpeg can read, or too large.
std::shared_ptr<Picture> DecodeJpeg(const std::uint8_t* data, std::size_t size);
// Decodes the JPEG stored as an RCDATA resource of the module.
std::shared_ptr<Picture> LoadJpegResource(HINSTANCE module, int id);

}  // namespace kestrel::ui
