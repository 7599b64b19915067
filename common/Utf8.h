#pragma once

// Conversions between the program's wide texts (UTF-32 on this platform) and the UTF-8
// bytes that file names, the store file, the configuration files and child processes use.

#include <optional>
#include <string>
#include <string_view>

namespace common {

// Code points that UTF-8 cannot carry (surrogates, beyond U+10FFFF) become U+FFFD, one each.
std::string toUtf8(std::wstring_view text);
// Every byte that does not start a well-formed sequence becomes one U+FFFD, so that
// damaged tool output or a damaged file name still shows what is readable around it.
std::wstring fromUtf8(std::string_view bytes);
// The same, telling how many bytes were replaced and where in the text the first U+FFFD
// put in for one stands (npos when none was).
std::wstring fromUtf8(std::string_view bytes, std::size_t& badBytes, std::size_t& firstBad);
// Empty when `bytes` is not well-formed UTF-8 (overlong forms and surrogates included).
std::optional<std::wstring> fromUtf8Strict(std::string_view bytes);

} // namespace common
