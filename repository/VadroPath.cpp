#include "repository/VadroPath.h"

namespace path::utils {

namespace {
constexpr std::wstring_view kScheme = L"vadro://";
} // namespace

bool ParseVadroPath(const std::wstring& text, std::wstring& server, std::vector<std::wstring>& components,
                    std::optional<vadro::Uuid>& id, bool /*allowEmpty*/)
{
    id.reset();
    const std::wstring_view view(text);
    if (view.substr(0, kScheme.size()) != kScheme)
        return false;
    const std::wstring_view rest = view.substr(kScheme.size());
    const std::size_t slash = rest.find(L'/');
    // The separator after the name is part of every path text, even one without components.
    if (slash == 0 || slash == std::wstring_view::npos)
        return false;

    std::vector<std::wstring> parts;
    std::wstring_view tail = rest.substr(slash + 1);
    while (!tail.empty()) {
        const std::size_t next = tail.find(L'/');
        const std::wstring_view part = tail.substr(0, next);
        if (part.empty())
            return false;
        parts.emplace_back(part);
        if (next == std::wstring_view::npos)
            break;
        tail = tail.substr(next + 1);
        if (tail.empty())
            return false;
    }
    server.assign(rest.substr(0, slash));
    components = std::move(parts);
    return true;
}

std::wstring MakeVadroPath(const std::wstring& server, const std::vector<std::wstring>& components,
                           const std::optional<vadro::Uuid>& /*id*/)
{
    std::wstring text(kScheme);
    text += server;
    text += L'/';
    for (std::size_t i = 0; i < components.size(); ++i) {
        if (i > 0)
            text += L'/';
        text += components[i];
    }
    return text;
}

} // namespace path::utils
