// Per-frame tracking file decoder: any text must either decode or throw a
// vexo error, never crash, leak or hang.
#include <cstdint>
#include <string>

#include "core/errors.h"
#include "core/tracking_output.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    vexo::FrameFile f = vexo::decode_frame_file(text, "fuzz.json", 48, 64);
    vexo::build_frame_record("output_pp_1.json", std::move(f), true);
  } catch (const vexo::Error&) {
  }
  return 0;
}
