#include "common/XmlNesting.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace common {
namespace {

constexpr std::size_t npos = std::wstring_view::npos;

// The reader's character classes. It classifies any character above U+007F as a letter.
bool IsSpace(wchar_t c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}
bool IsNameChar(wchar_t c)
{
    return c != 0 && !IsSpace(c) && c != L'/' && c != L'>' && c != L'?';
}
bool IsAttributeNameChar(wchar_t c)
{
    return IsNameChar(c) && c != L'!' && c != L'<' && c != L'=';
}
// Its digit table, which it consults with the character cut to its low byte, and which
// knows the hexadecimal letters in decimal references too.
unsigned DigitOf(wchar_t c)
{
    const auto b = static_cast<unsigned char>(c);
    if (b >= '0' && b <= '9')
        return b - '0';
    if (b >= 'a' && b <= 'f')
        return b - 'a' + 10;
    if (b >= 'A' && b <= 'F')
        return b - 'A' + 10;
    return 0xFF;
}

// Walks a document as the reader parses it, without recursion. Text and attribute values
// go to `visitor.Value(begin, end)`, each element start to `visitor.Open(offset, level)`;
// either answers false to stop. The walk ends where the reader ends: at the end, at a NUL
// (the reader's end of text), or at the first place the reader fails.
class Walk
{
public:
    explicit Walk(std::wstring_view text)
        : t_(text)
    {}

    wchar_t At(std::size_t k) const { return k < t_.size() ? t_[k] : 0; }

    // The character references of text or an attribute value in [b, e), as the reader
    // expands them: `each(ampersand, past semicolon, code)` for each numeric one. False
    // where the reader fails (no ';', a code beyond U+10FFFF).
    template <typename Each>
    bool References(std::size_t b, std::size_t e, Each each) const
    {
        for (std::size_t k = b; k < e;) {
            if (At(k) != L'&') {
                ++k;
                continue;
            }
            const std::wstring_view rest = t_.substr(k + 1, 5);
            if (rest.substr(0, 4) == L"amp;" || rest.substr(0, 3) == L"lt;" || rest.substr(0, 3) == L"gt;") {
                k += rest[0] == L'a' ? 5 : 4;
            } else if (rest.substr(0, 5) == L"apos;" || rest.substr(0, 5) == L"quot;") {
                k += 6;
            } else if (At(k + 1) == L'#') {
                const bool hex = At(k + 2) == L'x';
                std::size_t j = k + (hex ? 3 : 2);
                // `code` wraps round as the reader's does; `named` is the value written,
                // held at 0x110000 once it passes U+10FFFF.
                unsigned long code = 0, named = 0;
                for (unsigned d; (d = DigitOf(At(j))) != 0xFF; ++j) {
                    code = code * (hex ? 16 : 10) + d;
                    named = std::min<unsigned long>(named * (hex ? 16 : 10) + d, 0x110000);
                }
                if (code >= 0x110000 || At(j) != L';')
                    return false;
                each(k, j + 1, named);
                k = j + 1;
            } else {
                ++k;
            }
        }
        return true;
    }

    template <typename Visitor>
    void Run(Visitor& visitor)
    {
        std::size_t i = At(0) == 0xFEFF ? 1 : 0;
        std::size_t depth = 0;
        for (;;) {
            while (IsSpace(At(i)))
                ++i;
            if (At(i) == 0)
                return; // the end, or a failure inside an element
            if (At(i) != L'<') {
                if (depth == 0)
                    return;
                const std::size_t b = i;
                while (At(i) != L'<' && At(i) != 0)
                    ++i;
                if (!visitor.Value(b, i))
                    return;
                continue;
            }
            if (depth > 0 && At(i + 1) == L'/') {
                i += 2;
                while (IsNameChar(At(i)))
                    ++i;
                while (IsSpace(At(i)))
                    ++i;
                if (At(i) != L'>')
                    return;
                ++i;
                --depth;
                continue;
            }
            const std::size_t lt = i++;
            switch (Markup(i, visitor)) {
            case Node::Failed:
                return;
            case Node::Open:
                if (!visitor.Open(lt, depth + 1))
                    return;
                ++depth;
                break;
            case Node::Skipped:
                break;
            }
        }
    }

private:
    enum class Node
    {
        Failed,
        Open,    // a start tag; its content follows
        Skipped, // markup without content: a comment, a declaration, an empty element
    };

    // Moves `i` past `end`; false at the end of the text.
    bool PastEnd(std::size_t& i, std::wstring_view end) const
    {
        for (; At(i) == 0 || t_.substr(i, end.size()) != end; ++i)
            if (At(i) == 0)
                return false;
        i += end.size();
        return true;
    }

    // The markup after '<' at `i`.
    template <typename Visitor>
    Node Markup(std::size_t& i, Visitor& visitor) const
    {
        if (At(i) == L'?') { // the XML declaration and processing instructions alike
            ++i;
            return PastEnd(i, L"?>") ? Node::Skipped : Node::Failed;
        }
        if (At(i) == L'!') {
            const std::wstring_view head = t_.substr(i, 9);
            if (head.substr(0, 3) == L"!--") {
                i += 3;
                return PastEnd(i, L"-->") ? Node::Skipped : Node::Failed;
            }
            if (head.substr(0, 8) == L"![CDATA[") {
                i += 8;
                return PastEnd(i, L"]]>") ? Node::Skipped : Node::Failed;
            }
            if (head.substr(0, 8) == L"!DOCTYPE" && IsSpace(At(i + 8))) {
                // Its bracketed subset may hold '>'; brackets nest.
                for (i += 9; At(i) != L'>';) {
                    if (At(i) == 0)
                        return Node::Failed;
                    if (At(i++) != L'[')
                        continue;
                    for (std::size_t open = 1; open > 0; ++i) {
                        if (At(i) == 0)
                            return Node::Failed;
                        open += At(i) == L'[';
                        open -= At(i) == L']';
                    }
                }
                ++i;
                return Node::Skipped;
            }
            // Any other declaration ends at its first '>', brackets or not.
            return PastEnd(i, L">") ? Node::Skipped : Node::Failed;
        }
        const std::size_t name = i;
        while (IsNameChar(At(i)))
            ++i;
        if (i == name)
            return Node::Failed;
        while (IsSpace(At(i)))
            ++i;
        while (IsAttributeNameChar(At(i))) {
            while (IsAttributeNameChar(At(i)))
                ++i;
            while (IsSpace(At(i)))
                ++i;
            if (At(i) != L'=')
                return Node::Failed;
            ++i;
            while (IsSpace(At(i)))
                ++i;
            const wchar_t quote = At(i);
            if (quote != L'"' && quote != L'\'')
                return Node::Failed;
            const std::size_t b = ++i;
            while (At(i) != quote && At(i) != 0)
                ++i;
            if (!visitor.Value(b, i) || At(i) != quote)
                return Node::Failed;
            ++i;
            while (IsSpace(At(i)))
                ++i;
        }
        if (At(i) == L'>') {
            ++i;
            return Node::Open;
        }
        if (At(i) == L'/' && At(i + 1) == L'>') {
            i += 2;
            return Node::Skipped;
        }
        return Node::Failed;
    }

    std::wstring_view t_;
};

} // namespace

std::size_t FindExcessNesting(std::wstring_view text, std::size_t limit)
{
    struct Visitor
    {
        const Walk& walk;
        std::size_t limit;
        std::size_t found = npos;
        bool Value(std::size_t b, std::size_t e) const
        {
            return walk.References(b, e, [](std::size_t, std::size_t, unsigned long) {});
        }
        bool Open(std::size_t offset, std::size_t level)
        {
            if (level <= limit)
                return true;
            found = offset;
            return false;
        }
    };
    Walk walk(text);
    Visitor visitor{walk, limit};
    walk.Run(visitor);
    return visitor.found;
}

std::optional<std::wstring> ExpandWideCharacterReferences(std::wstring_view text)
{
    struct Reference
    {
        std::size_t begin, end;
        wchar_t c;
    };
    struct Visitor
    {
        const Walk& walk;
        std::vector<Reference> found;
        bool Value(std::size_t b, std::size_t e)
        {
            return walk.References(b, e, [this](std::size_t from, std::size_t to, unsigned long code) {
                // A value beyond U+10FFFF that the reader wraps round is put in as U+FFFF,
                // which XML cannot hold, for the caller to refuse.
                if (code >= 0x80)
                    found.push_back({from, to, static_cast<wchar_t>(code < 0x110000 ? code : 0xFFFF)});
            });
        }
        bool Open(std::size_t, std::size_t) { return true; }
    };
    Walk walk(text);
    Visitor visitor{walk, {}};
    walk.Run(visitor);
    if (visitor.found.empty())
        return std::nullopt;
    std::wstring out;
    out.reserve(text.size());
    std::size_t copied = 0;
    for (const Reference& r : visitor.found) {
        out.append(text.substr(copied, r.begin - copied));
        out += r.c;
        copied = r.end;
    }
    out.append(text.substr(copied));
    return out;
}

} // namespace common
