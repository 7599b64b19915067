#include "model/TaskStoreFile.h"

#include "common/Logging.h"
#include "common/RegularFile.h"
#include "common/Text.h"
#include "common/Utf8.h"
#include "model/StoreSalvage.h"
#include "model/TaskStoreWords.h"

#include <QSaveFile>
#include <QString>

#include <system_error>

namespace store {

std::wstring detail::PathText(const std::filesystem::path& path)
{
    return common::toQString(path).toStdWString();
}

bool IsXmlCharacter(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

std::optional<char32_t> FirstCharacterXmlCannotHold(std::wstring_view text)
{
    for (wchar_t c : text)
        if (!IsXmlCharacter(static_cast<char32_t>(c)))
            return static_cast<char32_t>(c);
    return std::nullopt;
}

std::optional<UnstorableText> FindUnstorableText(const TaskInfo& task)
{
    std::optional<UnstorableText> found;
    const auto check = [&found](const char* key, std::wstring_view text) {
        if (found)
            return;
        if (const auto c = FirstCharacterXmlCannotHold(text))
            found = UnstorableText{key, *c};
    };
    const auto checkTimes = [&check](const ModificationTimes& times) {
        for (const auto& entry : times)
            check("path", entry.first);
    };
    check("name", task.name);
    check("description", task.description);
    if (const auto* b = std::get_if<BackupAction>(&task.action)) {
        check("source_path", b->source_path);
        check("destination_path", b->destination_path);
    } else if (const auto* e = std::get_if<ExportAction>(&task.action)) {
        check("output_path", e->output_path);
        check("project_path", e->project_path);
        check("scheme_code", e->scheme_code);
        check("scheme_name", e->scheme_name);
        check("ifc_version", e->ifc_version);
        check("ifc_mapping_code", e->ifc_mapping_code);
        check("ifc_mapping_name", e->ifc_mapping_name);
        checkTimes(e->modification_times);
    } else if (const auto* c = std::get_if<CommandAction>(&task.action)) {
        check("executable", detail::PathText(c->executable));
        check("arguments", c->arguments);
        check("working_directory", detail::PathText(c->working_directory));
    } else if (const auto* k = std::get_if<CheckAction>(&task.action)) {
        check("ids_file", k->ids_file);
        check("ifc_file", k->ifc_file);
        checkTimes(k->modification_times);
    }
    return found;
}

std::optional<std::wstring> ReadFile(const std::filesystem::path& file)
{
    // Only a regular file is read, and the open never waits (a FIFO at the path would
    // otherwise hold the caller for ever).
    const common::FileRead read = common::ReadRegularFile(file);
    if (read.state != common::FileRead::State::Read)
        return std::nullopt;
    return TextOfFile(read.bytes);
}

bool WriteFile(const std::filesystem::path& file, const std::wstring& document, std::string* error)
{
    QSaveFile out(common::toQString(file));
    const auto fail = [&out, error] {
        if (error)
            *error = out.errorString().toStdString();
        out.cancelWriting();
        return false;
    };
    if (!out.open(QIODevice::WriteOnly | QIODevice::Text))
        return fail();
    out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const std::string bytes = common::toUtf8(document);
    // A write that fits the device's buffer reports success before anything reached the
    // file; only the flush tells, and commit would rename the cut file regardless.
    if (out.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()) || !out.flush())
        return fail();
    if (!out.commit()) {
        if (error)
            *error = out.errorString().toStdString();
        return false;
    }
    return true;
}

bool CreateFolderOf(const std::filesystem::path& file)
{
    std::error_code ec;
    std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) {
        qCWarning(lcModel, "Cannot create the folder %s: %s", file.parent_path().string().c_str(),
                  ec.message().c_str());
        return false;
    }
    return true;
}

} // namespace store
