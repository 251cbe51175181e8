#include "wizard/choosedir.h"

#include "toolkit/app.h"

namespace kestrel {

void Tdir::Create(HWND owner) {
  const int dpi = ui::Application::Get().Dpi();
  CreateForm(owner, u"Select Folder", ScaleToDpi(271, dpi), ScaleToDpi(310, dpi), false);
  SetFont(ui::Application::Get().NormalFont());
}

}  // namespace kestrel
