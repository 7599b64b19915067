#include "common/Text.h"

namespace common {

QString toQString(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}

std::filesystem::path toPath(const QString& text)
{
    return std::filesystem::u8path(text.toStdString());
}

} // namespace common
