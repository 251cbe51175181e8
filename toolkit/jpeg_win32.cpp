#include "toolkit/jpeg_win32.h"

#include <csetjmp>
#include <cstdio>

// clang-format off
#include <jpeglib.h>
#include <jerror.h>
// clang-format on

namespace kestrel::ui {
namespace {

// Pictures are side images and banners; anything larger is not ours.
constexpr JDIMENSION kMaxSide = 4096;

struct ErrorManager {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
};

[[noreturn]] void OnError(j_common_ptr ci) {
  std::longjmp(reinterpret_cast<ErrorManager*>(ci->err)->jump, 1);
}

void Silent(j_common_ptr) {}

// Plain C data only between setjmp and longjmp: no destructor may be skipped.
HBITMAP Decode(const std::uint8_t* data, std::size_t size, int* width, int* height) {
  jpeg_decompress_struct ci{};
  ErrorManager err{};
  ci.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = OnError;
  err.mgr.output_message = Silent;
  HBITMAP volatile bitmap = nullptr;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&ci);
    if (bitmap) DeleteObject(bitmap);
    return nullptr;
  }
  jpeg_create_decompress(&ci);
  jpeg_mem_src(&ci, data, static_cast<unsigned long>(size));
  jpeg_read_header(&ci, TRUE);
  ci.out_color_space = JCS_EXT_BGRX;  // the byte order of a 32-bit DIB
  jpeg_start_decompress(&ci);
  if (ci.output_width == 0 || ci.output_height == 0 || ci.output_width > kMaxSide ||
      ci.output_height > kMaxSide) {
    jpeg_destroy_decompress(&ci);
    return nullptr;
  }
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = static_cast<LONG>(ci.output_width);
  bi.bmiHeader.biHeight = -static_cast<LONG>(ci.output_height);  // top-down rows
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  bitmap = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap || !bits) {
    jpeg_destroy_decompress(&ci);
    return nullptr;
  }
  const std::size_t stride = static_cast<std::size_t>(ci.output_width) * 4;
  while (ci.output_scanline < ci.output_height) {
    JSAMPROW row = static_cast<JSAMPROW>(bits) + ci.output_scanline * stride;
    jpeg_read_scanlines(&ci, &row, 1);
  }
  jpeg_finish_decompress(&ci);
  *width = static_cast<int>(ci.output_width);
  *height = static_cast<int>(ci.output_height);
  jpeg_destroy_decompress(&ci);
  return bitmap;
}

}  // namespace

std::shared_ptr<Picture> DecodeJpeg(const std::uint8_t* data, std::size_t size) {
  if (!data || size == 0) return nullptr;
  int w = 0, h = 0;
  HBITMAP bmp = Decode(data, size, &w, &h);
  if (!bmp) return nullptr;
  // not make_shared: without RTTI it would link the library's type_info comparison and, with it,
  // the exception machinery
  return std::shared_ptr<Picture>(new Picture(bmp, w, h));
}

std::shared_ptr<Picture> LoadJpegResource(HINSTANCE module, int id) {
  HRSRC r = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (!r) return nullptr;
  HGLOBAL g = LoadResource(module, r);
  const void* p = g ? LockResource(g) : nullptr;
  if (!p) return nullptr;
  return DecodeJpeg(static_cast<const std::uint8_t*>(p), SizeofResource(module, r));
}

}  // namespace kestrel::ui
