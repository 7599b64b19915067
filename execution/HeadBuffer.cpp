#include "execution/HeadBuffer.h"

#include "execution/ToolRun.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace execution {

void HeadBuffer::Append(const char* data, std::size_t size)
{
    while (size > 0 && !full_) {
        const std::size_t room = kStderrKeptBytes - kept_.size();
        const std::size_t take = std::min(size, room);
        const auto* lf = static_cast<const char*>(std::memchr(data, '\n', take));
        if (lf != nullptr) {
            const std::size_t line = static_cast<std::size_t>(lf - data) + 1;
            kept_.append(data, line);
            data += line;
            size -= line;
            full_ = ++lines_ == kStderrKeptLines;
            continue;
        }
        kept_.append(data, take);
        data += take;
        size -= take;
        if (kept_.size() == kStderrKeptBytes) {
            full_ = true;
            DropPartialLine();
        }
    }
    Skip(data, size);
}

std::vector<std::string> HeadBuffer::Lines() const
{
    std::vector<std::string> lines;
    std::string_view text(kept_);
    while (!text.empty()) {
        const auto lf = text.find('\n');
        lines.emplace_back(text.substr(0, lf));
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
    }
    return lines;
}

// The byte limit fell inside a line: a line that began before it goes to the omitted
// part; a single line longer than the limit is kept cut, at a character's start.
void HeadBuffer::DropPartialLine()
{
    const std::size_t lastLf = kept_.rfind('\n');
    std::size_t keep = lastLf + 1;
    if (lastLf == std::string::npos) {
        keep = kept_.size();
        std::size_t lead = keep;
        while (lead > 0 && (static_cast<unsigned char>(kept_[lead - 1]) & 0xC0) == 0x80)
            --lead;
        if (lead > 0) {
            const auto first = static_cast<unsigned char>(kept_[--lead]);
            const std::size_t length = first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : first >= 0xC0 ? 2 : 1;
            if (keep - lead < length)
                keep = lead;
        }
        atLineStart_ = false;
    } else {
        atLineStart_ = true;
    }
    Skip(kept_.data() + keep, kept_.size() - keep);
    kept_.resize(keep);
}

void HeadBuffer::Skip(const char* data, std::size_t size)
{
    omittedBytes_ += size;
    for (std::size_t i = 0; i < size; ++i) {
        if (atLineStart_)
            ++omittedLines_;
        atLineStart_ = data[i] == '\n';
    }
}

} // namespace execution
