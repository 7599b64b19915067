#include "model/ExportFormats.h"

#include <algorithm>

std::string_view ExportFormatWord(ExportFormat format)
{
    for (const ExportFormatEntry& entry : kExportFormats)
        if (entry.format == format)
            return entry.word;
    return {};
}

std::optional<ExportFormat> ExportFormatFromWord(std::wstring_view word)
{
    for (const ExportFormatEntry& entry : kExportFormats) {
        // The words are ASCII, so each character compares equal to its wide form.
        if (std::equal(word.begin(), word.end(), entry.word.begin(), entry.word.end(),
                       [](wchar_t w, char c) { return w == static_cast<wchar_t>(c); }))
            return entry.format;
    }
    return std::nullopt;
}
