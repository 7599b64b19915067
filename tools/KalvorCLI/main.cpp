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
bool parse(int argc, char** argv, kalvorcli::Options& options)
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

int run(const kalvorcli::Options& options)
{
    if (options.action == "select")
        return kalvorcli::selectScheme(options);
    if (options.action == "export")
        return kalvorcli::exportProject(options);
    if (options.action == "check")
        return kalvorcli::checkFiles(options);
    std::fprintf(stderr, "Неизвестное действие: %s\n%s", options.action.c_str(), kUsage);
    return kalvorcli::BadCommandLine;
}

} // namespace

int main(int argc, char** argv)
{
    kalvorcli::recordArguments(argc, argv);
    kalvorcli::leaveHelperIfAsked();
    kalvorcli::delayIfAsked();
    kalvorcli::writeLeadingOutput();
    kalvorcli::hangIfAsked();
    if (const auto code = kalvorcli::forcedExitCode()) {
        kalvorcli::writeTrailingOutput();
        kalvorcli::finalDelayIfAsked();
        return *code;
    }

    kalvorcli::Options options;
    int code = kalvorcli::BadCommandLine;
    if (parse(argc, argv, options))
        code = run(options);
    else
        std::fputs(kUsage, stderr);
    kalvorcli::writeTrailingOutput();
    kalvorcli::finalDelayIfAsked();
    return code;
}
