#include "toolkit/picture_win32.h"

#include <olectl.h>

#include <cstring>

#include "sysutil/handles_win32.h"
#include "sysutil/pictureformat.h"

namespace kestrel::ui {
namespace {

// A copy of the picture's pixels in our own top-down 32-bit DIB section, so that the picture no
// longer depends on the loader's bitmap (or on the screen's colour depth when that is a DDB).
HBITMAP CopyToDib(HBITMAP source, int width, int height) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;  // top-down rows
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP copy = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!copy || !bits) {
    if (copy) DeleteObject(copy);
    return nullptr;
  }
  HDC screen = GetDC(nullptr);
  const int rows =
      screen ? GetDIBits(screen, source, 0, static_cast<UINT>(height), bits, &bi, DIB_RGB_COLORS)
             : 0;
  if (screen) ReleaseDC(nullptr, screen);
  if (rows != height) {
    DeleteObject(copy);
    return nullptr;
  }
  return copy;
}

}  // namespace

std::shared_ptr<Picture> DecodePicture(const std::uint8_t* data, std::size_t size) {
  // only a JPEG or a BMP of sensible size reaches the system's loader, which reads more formats
  // (metafiles, icons) than a picture here may be
  if (!ReadPictureHeader(data, size) || size > 0x7FFFFFFF) return nullptr;
  // the loader reads from a stream; the stream owns its memory block once it exists
  HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, size);
  void* p = block ? GlobalLock(block) : nullptr;
  if (!p) {
    if (block) GlobalFree(block);
    return nullptr;
  }
  std::memcpy(p, data, size);
  GlobalUnlock(block);
  win::ComScope com;  // the loader may create COM objects of its own
  win::ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(block, TRUE, stream.out()))) {
    GlobalFree(block);
    return nullptr;
  }
  win::ComPtr<IPicture> loaded;
  SHORT type = PICTYPE_NONE;
  OLE_HANDLE handle = 0;
  if (FAILED(OleLoadPicture(stream.get(), static_cast<LONG>(size), FALSE, IID_IPicture,
                            loaded.out_void())) ||
      FAILED(loaded->get_Type(&type)) || type != PICTYPE_BITMAP ||
      FAILED(loaded->get_Handle(&handle))) {
    return nullptr;
  }
  // OLE_HANDLE is 32 bits; widened as the system widens handles
  auto source = reinterpret_cast<HBITMAP>(static_cast<LONG_PTR>(static_cast<LONG>(handle)));
  BITMAP bm{};
  if (!GetObjectW(source, sizeof bm, &bm) || bm.bmWidth < 1 || bm.bmHeight < 1 ||
      bm.bmWidth > kMaxPictureSide || bm.bmHeight > kMaxPictureSide) {
    return nullptr;
  }
  HBITMAP copy = CopyToDib(source, bm.bmWidth, bm.bmHeight);
  if (!copy) return nullptr;
  // not make_shared: without RTTI it would link the library's type_info comparison and, with it,
  // the exception machinery
  return std::shared_ptr<Picture>(new Picture(copy, bm.bmWidth, bm.bmHeight));
}

std::shared_ptr<Picture> LoadPictureResource(HINSTANCE module, int id) {
  HRSRC r = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RT_RCDATA
  if (!r) return nullptr;
  HGLOBAL g = LoadResource(module, r);
  const void* p = g ? LockResource(g) : nullptr;
  if (!p) return nullptr;
  return DecodePicture(static_cast<const std::uint8_t*>(p), SizeofResource(module, r));
}

}  // namespace kestrel::ui
