// Per-frame tracking file decoder: any text must either decode or throw a
// vexo error, never crash, leak or hang. The fast JSON reader must accept
// exactly what the general JSON library accepts.
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "core/errors.h"
#include "core/fast_json.h"
#include "core/tracking_output.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  // Shallow enough for the reader's nesting limit; the general library
  // stops at a NUL byte, where this reader (like the host's) rejects.
  if (size < 400 && text.find('\0') == std::string::npos) {
    bool fast = true;
    try {
      vexo::fastjson::parse(text, "fuzz");
    } catch (const vexo::Error&) {
      fast = false;
    }
    bool general = false;
    try {
      general = nlohmann::json::accept(text);
    } catch (...) {
    }
    if (fast != general) std::abort();
  }
  try {
    vexo::FrameFile f = vexo::decode_frame_file(text, "fuzz.json", 48, 64);
    vexo::build_frame_record("output_pp_1.json", std::move(f), true);
  } catch (const vexo::Error&) {
  }
  return 0;
}
