#pragma once

// The kept start of a tool's standard error. Internal to the tool runs.

#include <cstddef>
#include <string>
#include <vector>

namespace execution {

// The start of a stream, whole lines, up to kStderrKeptLines lines or kStderrKeptBytes bytes;
// of the rest only the lines and bytes are counted, so memory stays bounded.
class HeadBuffer
{
public:
    void Append(const char* data, std::size_t size);

    // The kept lines, without their line feeds.
    std::vector<std::string> Lines() const;
    std::size_t OmittedLines() const { return omittedLines_; }
    std::size_t OmittedBytes() const { return omittedBytes_; }

private:
    void DropPartialLine();
    void Skip(const char* data, std::size_t size);

    std::string kept_;
    std::size_t lines_ = 0;
    bool full_ = false;
    bool atLineStart_ = true; // the next omitted byte starts a line
    std::size_t omittedLines_ = 0;
    std::size_t omittedBytes_ = 0;
};

} // namespace execution
