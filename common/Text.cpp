#include "common/Text.h"

#include "common/Utf8.h"

namespace common {

QString decodeUtf8(std::string_view bytes)
{
    return QString::fromStdWString(fromUtf8(bytes));
}

QString toQString(const std::filesystem::path& path)
{
    return decodeUtf8(path.native());
}

std::filesystem::path toPath(const QString& text)
{
    return std::filesystem::u8path(text.toStdString());
}

} // namespace common
