#pragma once

// The XML reader of Boost.PropertyTree recurses once per nested element, and so do the
// tree's copy and destruction: a few ten thousand nested elements overflow the stack.
// Documents are therefore measured before they are parsed, by a walk that reads them
// exactly as that reader does (its own rules for markup it does not know included).

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace common {

// Deeper than this, a document of ours is damaged: a store task lies four levels below
// its `task` element, a saved connection three below its `connection`.
constexpr std::size_t kMaxXmlNesting = 32;

// The offset of the start tag that opens element level `limit` + 1, or npos when the
// reader never gets that deep: the document nests no deeper, or the reader fails on it
// first. An unknown declaration `<!…` ends at its first '>', as the reader skips it.
std::size_t FindExcessNesting(std::wstring_view text, std::size_t limit = kMaxXmlNesting);

// The reader puts a character reference to a code point above U+007F into a wide text as
// that code point's UTF-8 bytes, one wide character each (`&#233;` reads as "Ã©"). This
// gives the document with every such reference in element text and attribute values
// (U+0080 to U+10FFFF, `;` present) replaced by the character it names, which the reader
// keeps as it is; nothing when the document holds none. Surrogates, U+FFFE and U+FFFF come
// through as they are named, for the caller to refuse; so does, as U+FFFF, a reference
// beyond U+10FFFF whose value the reader wraps round into range (`&#x10000000000000041;`).
std::optional<std::wstring> ExpandWideCharacterReferences(std::wstring_view text);

} // namespace common
