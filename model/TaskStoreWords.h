#pragma once

// What the store file's reading and writing share: the words for a last run's outcome
// and how a path is written. Private to the model library.

#include "model/TaskInfo.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace store::detail {

// The store's words for the outcomes of a last run; none for a task that never ran.
constexpr std::pair<RunOutcome, std::wstring_view> kOutcomeWords[] = {
    {RunOutcome::Running, L"running"}, {RunOutcome::Succeeded, L"succeeded"}, {RunOutcome::Failed, L"failed"},
    {RunOutcome::Unknown, L"unknown"}, {RunOutcome::Stopped, L"stopped"},
};

// A path as the store writes it.
std::wstring PathText(const std::filesystem::path& path);

} // namespace store::detail
