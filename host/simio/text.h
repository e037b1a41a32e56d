// Small text helpers shared by the input parser and the writers.
#pragma once

#include <string>
#include <string_view>

namespace simio {

// Strips spaces and tabs at both ends.
std::string_view trim(std::string_view s);

// The whole of `s` (after trimming) as a double, independent of the C
// locale; a leading '+' is accepted. "nan" and "inf" parse too: callers
// that need finite values check for themselves.
bool parseNumber(std::string_view s, double& out);

// Shortest text that reads back to exactly the same double ("0.1", "1e-07",
// "nan", "inf", "-inf").
std::string formatNumber(double v);

// A sample time as its Timestep's multiple reads: 0.3, not the
// 0.30000000000000004 that 3 * 0.1 comes to (15 significant digits).
std::string formatTime(double t);

// Text safe inside XML character data and attribute values. Control
// characters that XML 1.0 forbids are dropped, and bytes that are not
// well-formed UTF-8 become '?'.
std::string xmlEscape(std::string_view s);

} // namespace simio
