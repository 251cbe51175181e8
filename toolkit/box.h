// A window's box in pixels, relative to its parent. Plain data, so layout rules that produce
// boxes can be tested off Windows.
#pragma once

namespace kestrel {

struct Box {
  int left = 0, top = 0, width = 0, height = 0;
  bool operator==(const Box&) const = default;
};

}  // namespace kestrel
