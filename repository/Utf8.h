#pragma once

// Conversions between the repository's wide texts (UTF-32 on this platform) and the UTF-8
// bytes that file names, the configuration file and child processes use.

#include <optional>
#include <string>
#include <string_view>

namespace vadro {

std::string ToUtf8(std::wstring_view text);
// Malformed sequences become U+FFFD.
std::wstring FromUtf8(std::string_view bytes);
// Empty when `bytes` is not well-formed UTF-8 (overlong forms and surrogates included).
std::optional<std::wstring> FromUtf8Strict(std::string_view bytes);

} // namespace vadro
