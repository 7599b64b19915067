#include "common/Utf8.h"

#include <boost/locale/utf.hpp>

#include <iterator>

namespace common {

namespace {

namespace utf = boost::locale::utf;
using Utf8Traits = utf::utf_traits<char>;

constexpr utf::code_point kReplacement = 0xFFFD;

// Decodes the sequence at `pos` and advances past it; false for a malformed one, which
// advances by one byte only.
bool DecodeOne(std::string_view bytes, std::size_t& pos, utf::code_point& c)
{
    const char* p = bytes.data() + pos;
    c = Utf8Traits::decode(p, bytes.data() + bytes.size());
    if (c == utf::illegal || c == utf::incomplete) {
        ++pos;
        return false;
    }
    pos = static_cast<std::size_t>(p - bytes.data());
    return true;
}

} // namespace

std::string toUtf8(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    auto sink = std::back_inserter(out);
    for (wchar_t w : text) {
        const auto c = static_cast<utf::code_point>(w);
        sink = Utf8Traits::encode(utf::is_valid_codepoint(c) ? c : kReplacement, sink);
    }
    return out;
}

std::wstring fromUtf8(std::string_view bytes)
{
    std::size_t badBytes = 0, firstBad = 0;
    return fromUtf8(bytes, badBytes, firstBad);
}

std::wstring fromUtf8(std::string_view bytes, std::size_t& badBytes, std::size_t& firstBad)
{
    std::wstring out;
    out.reserve(bytes.size());
    badBytes = 0;
    firstBad = std::wstring::npos;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        utf::code_point c = 0;
        if (DecodeOne(bytes, pos, c)) {
            out += static_cast<wchar_t>(c);
            continue;
        }
        if (badBytes++ == 0)
            firstBad = out.size();
        out += static_cast<wchar_t>(kReplacement);
    }
    return out;
}

std::optional<std::wstring> fromUtf8Strict(std::string_view bytes)
{
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        utf::code_point c = 0;
        if (!DecodeOne(bytes, pos, c))
            return std::nullopt;
        out += static_cast<wchar_t>(c);
    }
    return out;
}

} // namespace common
