#include "common/XmlNesting.h"

namespace common {

std::size_t FindExcessNesting(std::wstring_view text, std::size_t limit)
{
    constexpr auto npos = std::wstring_view::npos;
    const std::size_t n = text.size();
    const auto at = [&](std::size_t pos, std::wstring_view s) { return text.substr(pos, s.size()) == s; };
    // The offset just past `end` searched from `from`, or npos.
    const auto past = [&](std::wstring_view end, std::size_t from) {
        const std::size_t e = text.find(end, from);
        return e == npos ? npos : e + end.size();
    };

    std::size_t depth = 0;
    std::size_t i = 0;
    while (i < n) {
        const std::size_t lt = text.find(L'<', i);
        if (lt == npos)
            break;
        if (at(lt, L"<!--")) {
            i = past(L"-->", lt + 4);
        } else if (at(lt, L"<![CDATA[")) {
            i = past(L"]]>", lt + 9);
        } else if (at(lt, L"<?")) {
            i = past(L"?>", lt + 2);
        } else if (at(lt, L"<!")) {
            // A declaration; its internal subset in brackets may hold '>' of its own.
            std::size_t j = lt + 2;
            for (std::size_t brackets = 0; j < n; ++j) {
                if (text[j] == L'[')
                    ++brackets;
                else if (text[j] == L']' && brackets > 0)
                    --brackets;
                else if (text[j] == L'>' && brackets == 0)
                    break;
            }
            i = j < n ? j + 1 : npos;
        } else if (at(lt, L"</")) {
            if (depth > 0)
                --depth;
            i = past(L">", lt + 2);
        } else {
            // A start tag, or a stray '<' that the reader fails on; both count.
            if (++depth > limit)
                return lt;
            // Attribute values are quoted and may hold '>' and "/>".
            std::size_t j = lt + 1;
            for (wchar_t quote = 0; j < n; ++j) {
                const wchar_t c = text[j];
                if (quote != 0) {
                    if (c == quote)
                        quote = 0;
                } else if (c == L'"' || c == L'\'') {
                    quote = c;
                } else if (c == L'>') {
                    break;
                }
            }
            if (j >= n)
                break;
            if (text[j - 1] == L'/' && j - 1 > lt)
                --depth; // an empty element closes itself
            i = j + 1;
        }
    }
    return npos;
}

} // namespace common
