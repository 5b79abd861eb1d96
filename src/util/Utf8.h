// Utf8.h: telling well-formed UTF-8 from other bytes, and carrying other
// bytes through JSON.
//
// A task may send text in any encoding (Windows-1252 is common). Korvane
// keeps such text as the bytes that came; where it must go through JSON (the
// trial table's situation and decision objects) a text that is not UTF-8 is
// written as the object {"$bytes": "<hex digits>"} and read back as the
// bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view text);

// Lower-case hex digits of the bytes, and back (nothing for text that is not
// an even number of hex digits).
std::string HexOfBytes(std::string_view bytes);
std::optional<std::string> BytesOfHex(std::string_view hex);

}  // namespace korvane
