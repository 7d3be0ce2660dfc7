// Fields of the CSV and JSON files that Corvane writes for other programs
// (history reports, exports of the traffic list and of logs).
//
// Texts in them come from the network (host names, web hosts, program
// names), so every field is made safe for the reader: the output is always
// well-formed UTF-8 (a byte that does not belong to a well-formed sequence
// becomes U+FFFD), a CSV field that a spreadsheet would run as a formula is
// defused, and a JSON string escapes every control character.
//
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace corvane {

// `text` with every byte that is not part of a well-formed UTF-8 sequence
// (stray continuation bytes, cut sequences, overlong forms, surrogates,
// code points past U+10FFFF) replaced by U+FFFD.
std::string ValidUtf8(std::string_view text);

// One RFC 4180 field: quoted when it holds a comma, a quote, CR or LF (a
// quote doubled inside). A field beginning with "=", "+", "-", "@", a tab or
// CR gets a "'" in front, so that a spreadsheet shows it as text instead of
// evaluating it.
std::string CsvField(std::string_view text);

// A JSON string literal, quotes included: '"' and '\' escaped, every control
// character (below U+0020, and U+007F) as \u00XX.
std::string JsonString(std::string_view text);

}  // namespace corvane
