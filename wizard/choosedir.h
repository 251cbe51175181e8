// The folder dialog `Tdir`: created hidden at start-up. Its folder tree and OK/Cancel handling
// come with the destination page.
#pragma once

#include "toolkit/controls.h"

namespace kestrel {

class Tdir : public ui::Form {
 public:
  // Creates the dialog hidden, owned by `owner`.
  void Create(HWND owner);
};

}  // namespace kestrel
