#include "CliActions.h"

#include "common/Utf8.h"
#include "repository/Connections.h"
#include "repository/VadroPath.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace kalvorcli {

namespace {

namespace fs = std::filesystem;

struct Scheme
{
    std::string code;
    std::string name;
};

void ErrorLine(const std::string& text)
{
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

void OutputLine(const std::string& text)
{
    std::fprintf(stdout, "%s\n", text.c_str());
    std::fflush(stdout);
}

std::multimap<std::string, Scheme> BuiltInSchemes()
{
    return {
        {"DXF", {"DXF-GOST-21.101", "ГОСТ 21.101: слои по разделам проекта"}},
        {"DXF", {"DXF-ISO-13567", "ISO 13567: слои по международному стандарту"}},
        {"DWG", {"DWG-GOST-21.101", "ГОСТ 21.101: слои по разделам проекта"}},
        {"MIF", {"MIF-GIS-2013", "Слои ГИС по классификатору объектов"}},
        {"PNR", {"PNR-TXF-SXF", "Классификатор объектов TXF/SXF"}},
        {"IFC", {"IFC-DEFAULT", "Соответствие классов IFC по умолчанию"}},
        {"IFC", {"IFC-COBIE", "Соответствие для передачи в эксплуатацию"}},
    };
}

// Lines "WORD<tab>CODE<tab>NAME"; empty lines and lines starting with '#' are skipped.
std::optional<std::multimap<std::string, Scheme>> SchemesFromFile(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::multimap<std::string, Scheme> schemes;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line.front() == '#')
            continue;
        const std::size_t first = line.find('\t');
        const std::size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
        if (second == std::string::npos)
            continue;
        schemes.emplace(line.substr(0, first),
                        Scheme{line.substr(first + 1, second - first - 1), line.substr(second + 1)});
    }
    return schemes;
}

std::optional<std::string> ExtensionOf(const std::string& format)
{
    static const std::map<std::string, std::string> extensions{
        {"DXF", "dxf"}, {"DWG", "dwg"}, {"MIF", "mif"}, {"PNR", "txf"}, {"IFC", "ifc"}};
    const auto found = extensions.find(format);
    if (found == extensions.end())
        return std::nullopt;
    return found->second;
}

bool MissingOption(const std::optional<std::string>& value, const char* option)
{
    if (value)
        return false;
    ErrorLine(std::string("Не задан параметр ") + option);
    return true;
}

std::string LowerAscii(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A readable regular file, or the reason why not.
std::optional<std::string> UnreadableReason(const fs::path& file)
{
    std::error_code error;
    const fs::file_status status = fs::status(file, error);
    if (error || !fs::exists(status))
        return "Файл не найден: " + file.string();
    if (!fs::is_regular_file(status))
        return "Не является файлом: " + file.string();
    std::ifstream in(file, std::ios::binary);
    char byte = 0;
    if (!in || (!in.read(&byte, 1) && in.bad()))
        return "Нет доступа к файлу: " + file.string();
    return std::nullopt;
}

} // namespace

int SelectScheme(const Options& options)
{
    std::multimap<std::string, Scheme> schemes = BuiltInSchemes();
    if (const char* file = std::getenv("KALVORCLI_SCHEMES_FILE"); file && *file) {
        auto fromFile = SchemesFromFile(file);
        if (!fromFile) {
            ErrorLine(std::string("Не удалось прочитать файл схем: ") + file);
            return BadCommandLine;
        }
        schemes = std::move(*fromFile);
    }
    const auto found = schemes.find(options.format.value_or(std::string()));
    if (found != schemes.end()) {
        OutputLine("CODE:" + found->second.code);
        OutputLine("NAME:" + found->second.name);
    }
    return Success;
}

int ExportProject(const Options& options)
{
    if (MissingOption(options.format, "--format") || MissingOption(options.projectPath, "--project-path") ||
        MissingOption(options.outputDir, "--output-dir") || MissingOption(options.optionsCode, "--options-code"))
        return BadCommandLine;
    const std::optional<std::string> extension = ExtensionOf(*options.format);
    if (!extension) {
        ErrorLine("Неизвестный формат экспорта: " + *options.format);
        return BadCommandLine;
    }
    if (options.optionsCode->empty()) {
        ErrorLine(*options.format == "IFC" ? "Не задано соответствие IFC (--options-code)"
                                           : "Не задана схема экспорта (--options-code)");
        return BadCommandLine;
    }

    std::wstring server;
    std::vector<std::wstring> components;
    std::optional<vadro::Uuid> id;
    if (!path::utils::ParseVadroPath(common::fromUtf8(*options.projectPath), server, components, id, true)) {
        ErrorLine("Неверный путь проекта: " + *options.projectPath);
        return BadCommandLine;
    }

    std::optional<vadro_cm::Connection> connection;
    try {
        connection = FindSavedConnectionByName(server);
    } catch (const exceptions::Error& e) {
        ErrorLine(std::string("Не удалось прочитать сохранённые подключения: ") + e.what());
        return RepositoryUnusable;
    }
    if (!connection) {
        ErrorLine("Подключение к хранилищу данных не найдено: " + common::toUtf8(server));
        return RepositoryUnusable;
    }

    fs::path target;
    try {
        const auto session = vadro::CreateCore()->OpenSession(connection->address, connection->credentials);
        const vadro::IdPath ids = session->GetPathResolver()->ResolvePath(components);
        if (components.empty() || ids.size() != components.size()) {
            ErrorLine("Проект не найден: " + *options.projectPath);
            return ProjectMissing;
        }
        const vadro::ItemInfo item = session->GetItem(ids);
        if (!item.isDocument) {
            ErrorLine("Проект не является документом: " + *options.projectPath);
            return ProjectMissing;
        }

        const fs::path outputDir(*options.outputDir);
        std::error_code error;
        if (outputDir.empty()) {
            ErrorLine("Не задана папка для экспорта (--output-dir)");
            return OutputFailed;
        }
        fs::create_directories(outputDir, error);
        if (error || !fs::is_directory(outputDir)) {
            ErrorLine("Не удалось создать папку для экспорта " + outputDir.string() +
                      (error ? ": " + error.message() : std::string()));
            return OutputFailed;
        }
        target = outputDir / (common::toUtf8(item.name) + '.' + *extension);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        if (!out) {
            ErrorLine("Не удалось записать файл " + target.string());
            return OutputFailed;
        }
        if (const std::unique_ptr<vadro::IContentReader> reader = session->OpenContent(ids)) {
            std::vector<char> buffer(1 << 20);
            while (const std::size_t count = reader->ReadChunk(buffer.data(), buffer.size()))
                out.write(buffer.data(), static_cast<std::streamsize>(count));
        }
        out.close();
        if (!out) {
            ErrorLine("Не удалось записать файл " + target.string());
            return OutputFailed;
        }
    } catch (const vadro::VadroError& e) {
        ErrorLine(e.what());
        return RepositoryUnusable;
    }
    OutputLine("Экспортирован файл: " + target.string());
    return Success;
}

int CheckFiles(const Options& options)
{
    if (MissingOption(options.format, "--format") || MissingOption(options.checkPath, "--check-path"))
        return BadCommandLine;
    if (*options.format != "ids") {
        ErrorLine("Неизвестный формат проверки: " + *options.format);
        return BadCommandLine;
    }
    if (options.sourcePaths.empty()) {
        ErrorLine("Не задан параметр --source-path");
        return BadCommandLine;
    }

    std::vector<std::string> reasons;
    std::vector<fs::path> files;
    for (const std::string& source : options.sourcePaths) {
        std::error_code error;
        if (!source.empty() && fs::is_directory(source, error)) {
            std::vector<fs::path> found;
            for (fs::directory_iterator it(source, error), end; !error && it != end; it.increment(error)) {
                if (it->is_regular_file(error) && LowerAscii(it->path().extension().string()) == ".ifc")
                    found.push_back(it->path());
            }
            if (error)
                reasons.push_back("Нет доступа к папке: " + source);
            else if (found.empty())
                reasons.push_back("В папке нет файлов IFC: " + source);
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else {
            files.emplace_back(source);
        }
    }
    for (const fs::path& file : files) {
        if (const auto reason = UnreadableReason(file))
            reasons.push_back(*reason);
        else
            OutputLine("Проверен файл: " + file.string());
    }
    if (const auto reason = UnreadableReason(*options.checkPath))
        reasons.push_back("Файл IDS: " + *reason);

    for (const std::string& reason : reasons)
        ErrorLine(reason);
    return reasons.empty() ? Success : CheckFailed;
}

} // namespace kalvorcli
