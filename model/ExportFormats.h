#pragma once

// The export formats and the one word each is known by: the store file writes it, the
// tool receives it after "--format" and the scheme lookup passes it on. Words are ASCII
// and compared case-sensitively. The table is in the order the wizard lists the formats,
// each with the name shown there.

#include "model/TaskInfo.h"

#include <array>
#include <optional>
#include <string_view>

struct ExportFormatEntry
{
    ExportFormat format;
    std::string_view word;
    std::string_view label; // ASCII
};

inline constexpr std::array<ExportFormatEntry, 5> kExportFormats{{
    {DXF, "DXF", "DXF"},
    {DWG, "DWG", "DWG"},
    {MIF, "MIF", "MIF/MID"},
    {PNR, "PNR", "TXF/SXF"},
    {IFC, "IFC", "IFC"},
}};

// The word of `format`; empty for a value outside the table (a field can hold any int32).
std::string_view ExportFormatWord(ExportFormat format);

// The format `word` names; none for any other text, including another letter case.
std::optional<ExportFormat> ExportFormatFromWord(std::wstring_view word);
