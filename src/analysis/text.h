// Text pieces shared by the summary and the flame graph: durations, shares, labels, escaping.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "analysis/profile.h"

namespace vespra::analysis {

// "5,145,294".
std::string with_commas(uint64_t v);
// "812 bytes", "1.1 kB", "2.1 MB" (powers of 1000).
std::string format_bytes(uint64_t bytes);
// "812 ns", "3.25 us", "41.07 ms", "2.500 s".
std::string format_ns(uint64_t ns);
// "12.34%" of `whole`.
std::string format_share(uint64_t part, uint64_t whole);
// "file:line", or "" when the trace does not say.
std::string where(const Function& f);
// "name (process pid/tid)", or "thread process pid/tid" for a thread without a name; without
// the process's name when `process` is empty.
std::string thread_label(const Thread& t, std::string_view process = {});
std::string xml_escape(std::string_view s);
// A JSON string literal; bytes that are not valid UTF-8 become U+FFFD so the document stays
// valid JSON.
std::string json_string(std::string_view s);

}  // namespace vespra::analysis
