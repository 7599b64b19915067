// KalvorCLI stand-in:
//   KalvorCLI --action select --format WORD
//   KalvorCLI --action export --format WORD --project-path P --output-dir D --options-code C [--ifc-version V]
//   KalvorCLI --action check --format ids --source-path F [--source-path F2 ...] --check-path IDS
// Exit code 0 means success; reasons for a failure arrive as lines on standard error.
// TestHooks.h lists the environment variables that tests use to steer it.

#include "CliActions.h"
#include "TestHooks.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kUsage = "Использование:\n"
                           "  KalvorCLI --action select --format WORD\n"
                           "  KalvorCLI --action export --format WORD --project-path P --output-dir D "
                           "--options-code C [--ifc-version V]\n"
                           "  KalvorCLI --action check --format ids --source-path F [--source-path F ...] "
                           "--check-path IDS\n";

// False (with a reason on standard error) for an unknown option or an option without its value.
bool Parse(int argc, char** argv, kalvorcli::Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 == argc) {
            std::fprintf(stderr, "Не задано значение параметра %s\n", option.c_str());
            return false;
        }
        const std::string value = argv[++i];
        if (option == "--action")
            options.action = value;
        else if (option == "--format")
            options.format = value;
        else if (option == "--project-path")
            options.projectPath = value;
        else if (option == "--output-dir")
            options.outputDir = value;
        else if (option == "--options-code")
            options.optionsCode = value;
        else if (option == "--ifc-version")
            options.ifcVersion = value;
        else if (option == "--check-path")
            options.checkPath = value;
        else if (option == "--source-path")
            options.sourcePaths.push_back(value);
        else {
            std::fprintf(stderr, "Неизвестный параметр: %s\n", option.c_str());
            return false;
        }
    }
    return true;
}

int Run(const kalvorcli::Options& options)
{
    if (options.action == "select")
        return kalvorcli::SelectScheme(options);
    if (options.action == "export")
        return kalvorcli::ExportProject(options);
    if (options.action == "check")
        return kalvorcli::CheckFiles(options);
    std::fprintf(stderr, "Неизвестное действие: %s\n%s", options.action.c_str(), kUsage);
    return kalvorcli::BadCommandLine;
}

} // namespace

int main(int argc, char** argv)
{
    kalvorcli::RecordArguments(argc, argv);
    kalvorcli::LeaveHelperIfAsked();
    kalvorcli::DelayIfAsked();
    kalvorcli::WriteLeadingOutput();
    kalvorcli::HangIfAsked();
    if (const auto code = kalvorcli::ForcedExitCode()) {
        kalvorcli::WriteTrailingOutput();
        kalvorcli::FinalDelayIfAsked();
        return *code;
    }

    kalvorcli::Options options;
    int code = kalvorcli::BadCommandLine;
    if (Parse(argc, argv, options))
        code = Run(options);
    else
        std::fputs(kUsage, stderr);
    kalvorcli::WriteTrailingOutput();
    kalvorcli::FinalDelayIfAsked();
    return code;
}
