#pragma once

// The XML reader of Boost.PropertyTree recurses once per nested element, and so do the
// tree's copy and destruction: a few ten thousand nested elements overflow the stack.
// Documents are therefore measured before they are parsed.

#include <cstddef>
#include <string_view>

namespace common {

// Deeper than this, a document of ours is damaged: a store task lies four levels below
// its `task` element, a saved connection three below its `connection`.
constexpr std::size_t kMaxXmlNesting = 32;

// The offset of the first start tag that opens element level `limit` + 1, or npos when
// the document never nests deeper than `limit`. The count errs on the deep side for
// malformed text (a stray "<" counts as a start tag), never on the shallow side, so a
// document that passes cannot make the reader recurse deeper than `limit` levels.
std::size_t FindExcessNesting(std::wstring_view text, std::size_t limit = kMaxXmlNesting);

} // namespace common
