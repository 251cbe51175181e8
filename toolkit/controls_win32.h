// A thin user-interface toolkit over Win32 and the common controls: windows are created
// directly, each wrapper holds one HWND, and child windows are destroyed with their parent.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>

#include "toolkit/box.h"

namespace kestrel::ui {

// For a language written right to left: every window made from now on is mirrored (the side
// picture stays as drawn) and its texts read from the right.
void SetRightToLeft(bool rtl);

// Windows spells UTF-16 as wchar_t, 16 bits wide here as char16_t is: texts are handed over as
// they are (a std::wstring of its own would be a second copy of the string code).
inline const wchar_t* WideZ(const std::u16string& s) {
  return reinterpret_cast<const wchar_t*>(s.c_str());
}

// Pixels per logical inch of the screen (the process declares itself DPI-aware).
int ScreenDpi();

// A font owned for the life of the wrapper.
class Font {
 public:
  Font() = default;
  Font(std::u16string_view face, int height, bool bold);
  ~Font();
  Font(const Font&) = delete;
  Font& operator=(const Font&) = delete;
  HFONT handle() const { return font_; }

 private:
  HFONT font_ = nullptr;
};

// A decoded picture (a top-down 32-bit DIB section), shared by the images that show it.
class Picture {
 public:
  Picture(HBITMAP bitmap, int width, int height)
      : bitmap_(bitmap), width_(width), height_(height) {}
  ~Picture();
  Picture(const Picture&) = delete;
  Picture& operator=(const Picture&) = delete;
  HBITMAP bitmap() const { return bitmap_; }
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  HBITMAP bitmap_;
  int width_, height_;
};

// One window. The wrapper does not destroy it: its parent (or, for a form, Close) does.
class Window {
 public:
  Window() = default;
  virtual ~Window() = default;
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  HWND handle() const { return hwnd_; }
  void SetBounds(const Box& b);
  virtual void SetText(std::u16string_view text);
  std::u16string Text() const;
  void SetVisible(bool visible);
  bool Visible() const;
  void SetEnabled(bool enabled);
  bool Enabled() const;
  void SetFont(const Font& font);

 protected:
  HWND Create(HWND parent, const wchar_t* window_class, DWORD style, DWORD ex_style, int id,
              std::u16string_view text, void* param = nullptr);
  HWND hwnd_ = nullptr;
};

// A static text. Drawn transparently over its parent, so a new text repaints the parent below.
class Label : public Window {
 public:
  enum Style { kWrap = 1, kCentre = 2 };
  void Create(HWND parent, int id, std::u16string_view text, int style);
  void SetText(std::u16string_view text) override;
};

class Button : public Window {
 public:
  void Create(HWND parent, int id, std::u16string_view text);
};

class CheckBox : public Window {
 public:
  void Create(HWND parent, int id, std::u16string_view text, bool checked);
  // A radio button instead; `first` begins its group.
  void CreateRadio(HWND parent, int id, std::u16string_view text, bool first);
  bool Checked() const;
  void SetChecked(bool checked);
};

class Edit : public Window {
 public:
  // Single-line, or multi-line with both scroll bars; a multi-line box takes Tab as text.
  void Create(HWND parent, int id, bool multiline, bool read_only);
  // Single-line, showing a mask character for each one typed.
  void CreateMasked(HWND parent, int id);
  // Read-only lines to read, wrapped, with a vertical scroll bar only.
  void CreateList(HWND parent, int id);
  // Takes the keyboard focus with the whole text selected, so typing replaces it.
  void FocusAndSelectAll();
};

class ProgressBar : public Window {
 public:
  void Create(HWND parent, int id, int min, int max);
  // Paints through an off-screen buffer, so frequent updates do not flicker.
  void SetDoubleBuffered();
  void SetPosition(int position);
  int Position() const;
};

// Shows a picture stretched over its whole area.
class Image : public Window {
 public:
  void Create(HWND parent, int id);
  void SetPicture(std::shared_ptr<Picture> picture);
  const std::shared_ptr<Picture>& picture() const { return picture_; }

  static LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp);

 private:
  std::shared_ptr<Picture> picture_;
};

// A plain container that hands its children's notifications up to its parent.
class Panel : public Window {
 public:
  void Create(HWND parent, int id);
};

// One page of a page control: window-coloured, with its labels drawn transparently.
class Sheet : public Window {
 public:
  void Create(HWND parent, int id);
};

// A frame around sheets whose tabs are never shown: the program switches pages itself.
class PageControl : public Window {
 public:
  void Create(HWND parent, int id);
};

// A top-level window with a fixed dialog border and no border icons.
class Form : public Window {
 public:
  ~Form() override;
  // Creates the form hidden, owned by `owner`, with the given client size, centred on screen;
  // a main form gets its own taskbar button.
  void CreateForm(HWND owner, std::u16string_view caption, int client_width, int client_height,
                  bool taskbar_button);
  void Show();
  // Closes the form as the user would; the main form's closing ends the message loop.
  void Close();
  void SetMain(bool main) { main_ = main; }
  static LRESULT CALLBACK Proc(HWND h, UINT msg, WPARAM wp, LPARAM lp);

 protected:
  virtual void OnCommand(int /*id*/, int /*code*/) {}
  virtual void OnClose() {}
  virtual LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);

 private:
  bool main_ = false;
};

// Registers the window classes above; called once by the application.
void RegisterClasses(HINSTANCE instance);

}  // namespace kestrel::ui
