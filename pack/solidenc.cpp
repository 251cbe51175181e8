#include "pack/solidenc.h"

#if __has_include(<lzma.h>)
#include <lzma.h>
#define KESTREL_HAVE_LIBLZMA 1
#endif

#include <algorithm>
#include <memory>
#include <thread>

#include "package/solid.h"

namespace kestrel::pack {

std::uint64_t SolidDictionary(const SolidSettings& settings, std::uint64_t content) {
  const std::uint64_t want = std::clamp<std::uint64_t>(content, 4096, settings.dictionary);
  return Lzma2DictionaryBytes(Lzma2DictionaryProp(want));
}

#ifndef KESTREL_HAVE_LIBLZMA
bool HaveLzma2Encoder() {
  return false;
}

bool EncodeSegment(std::span<const std::uint8_t>, const SolidSettings&, std::uint64_t,
                   std::vector<std::uint8_t>&, std::string& error) {
  error =
      "this kestrel-pack was built without liblzma and cannot make LZMA2 packages; use "
      "--codec classic";
  return false;
}
#else
bool HaveLzma2Encoder() {
  return true;
}

bool EncodeSegment(std::span<const std::uint8_t> data, const SolidSettings& settings,
                   std::uint64_t dictionary, std::vector<std::uint8_t>& out, std::string& error) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, settings.preset | (settings.extreme ? LZMA_PRESET_EXTREME : 0))) {
    error = "liblzma has no preset " + std::to_string(settings.preset);
    return false;
  }
  options.dict_size = static_cast<std::uint32_t>(dictionary);
  const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_raw_encoder(&s, filters) != LZMA_OK) {
    error = "liblzma cannot start its LZMA2 encoder (out of memory?)";
    return false;
  }
  const std::size_t start = out.size();
  // LZMA2 stores what does not compress, so the stream never grows by more than a little
  out.resize(start + data.size() + data.size() / 256 + 1024);
  s.next_in = data.data();
  s.avail_in = data.size();
  s.next_out = out.data() + start;
  s.avail_out = out.size() - start;
  const lzma_ret r = lzma_code(&s, LZMA_FINISH);
  const std::size_t made = out.size() - start - s.avail_out;
  lzma_end(&s);
  if (r != LZMA_STREAM_END || made == 0 || out[start + made - 1] != 0) {
    error = "liblzma failed to encode a segment (code " + std::to_string(r) + ")";
    return false;
  }
  out.resize(start + made - 1);  // without its end mark: the next segment follows
  return true;
}
#endif

bool EncodeSolid(std::uint64_t total, const SolidSettings& settings, unsigned threads,
                 const std::function<bool(std::uint8_t*, std::size_t)>& read,
                 const std::function<bool(std::span<const std::uint8_t>)>& emit,
                 std::string& error) {
  const std::uint64_t dictionary = SolidDictionary(settings, total);
  threads = std::max(1u, threads);
  struct Segment {
    std::vector<std::uint8_t> data, out;
    std::string error;
    bool ok = true;
  };
  std::vector<Segment> batch(threads);
  for (std::uint64_t done = 0; done < total;) {
    std::size_t used = 0;
    for (; used < batch.size() && done < total; ++used) {
      Segment& g = batch[used];
      const auto n = static_cast<std::size_t>(std::min(settings.segment, total - done));
      g.data.resize(n);
      g.out.clear();
      if (!read(g.data.data(), n)) return false;
      done += n;
    }
    auto work = [&](std::size_t i) {
      batch[i].ok =
          EncodeSegment(batch[i].data, settings, dictionary, batch[i].out, batch[i].error);
    };
    std::vector<std::thread> helpers;
    for (std::size_t i = 1; i < used; ++i) helpers.emplace_back(work, i);
    work(0);
    for (auto& t : helpers) t.join();
    for (std::size_t i = 0; i < used; ++i) {
      if (!batch[i].ok) {
        error = batch[i].error;
        return false;
      }
      if (!emit(batch[i].out)) return false;
    }
  }
  const std::uint8_t end_mark = 0;
  return emit(std::span(&end_mark, 1));
}

}  // namespace kestrel::pack
