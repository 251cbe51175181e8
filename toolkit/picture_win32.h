// Pictures (JPEG or BMP) decoded by the system's own picture loader into 32-bit DIB sections.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "toolkit/controls_win32.h"

namespace kestrel::ui {

// Decodes a JPEG or BMP held in memory (the caller keeps the bytes; they are copied); null when
// the bytes are neither, larger than kMaxPictureSide on a side, or the system cannot read them.
std::shared_ptr<Picture> DecodePicture(const std::uint8_t* data, std::size_t size);
// Decodes the picture stored as an RCDATA resource of the module.
std::shared_ptr<Picture> LoadPictureResource(HINSTANCE module, int id);

}  // namespace kestrel::ui
