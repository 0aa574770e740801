// The single console sink every message of the library goes through, and the
// interrupt hook long loops poll. The extension module installs sinks that
// write to the host's standard output and honour the host's Ctrl-C.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vexo {

using ConsoleSink = std::function<void(std::string_view text)>;
using InterruptHook = std::function<bool()>;

// Replaces the sink; an empty function restores the default (std::cout).
void set_console_sink(ConsoleSink sink);
// Writes `line` followed by a line break.
void print_line(std::string_view line);
// Writes `text` exactly as given.
void print_raw(std::string_view text);

void set_interrupt_hook(InterruptHook hook);
// Throws Interrupted when the hook reports a pending interrupt.
void check_interrupt();

}  // namespace vexo
