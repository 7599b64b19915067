#pragma once

// Repository path texts: "vadro://" + connection name + "/" + components joined by "/".

#include "repository/Vadro.h"

#include <optional>
#include <string>
#include <vector>

namespace path::utils {

// Splits a repository path text. False for any text that is not one: another scheme, an
// empty connection name, an empty component ("a//b", a trailing "/" after a component).
// The bare prefix "vadro://name/" is valid and has no components. `id` is always reset:
// path texts carry no connection identifier. `allowEmpty`: accepted for compatibility and
// not looked at.
bool ParseVadroPath(const std::wstring& text, std::wstring& server, std::vector<std::wstring>& components,
                    std::optional<vadro::Uuid>& id, bool allowEmpty);

// The inverse of ParseVadroPath: for every valid text t, Make(Parse(t)) == t.
std::wstring MakeVadroPath(const std::wstring& server, const std::vector<std::wstring>& components,
                           const std::optional<vadro::Uuid>& id = std::nullopt);

} // namespace path::utils
