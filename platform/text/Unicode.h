#pragma once
// Conversions between the wide text of the system (std::wstring, UTF-32 on Linux), narrow
// UTF-8 text and UTF-16. Invalid input never throws: bad sequences become U+FFFD.
#include <string>
#include <string_view>

std::string ToUtf8(std::wstring_view w);
std::wstring FromUtf8(std::string_view s);
std::u16string ToUtf16(std::wstring_view w);
std::wstring FromUtf16(std::u16string_view s);

// True when s is well-formed UTF-8.
bool IsValidUtf8(std::string_view s);

// True when the text is fit for a name or an address: well-formed (UTF-8 for narrow text,
// Unicode scalar values for wide text) and free of control characters (C0, DEL, C1).
bool IsCleanText(std::string_view utf8);
bool IsCleanText(std::wstring_view w);
