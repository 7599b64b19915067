#include "wizard/SchemeLookup.h"

#include "execution/CliPath.h"

#include <boost/process/child.hpp>
#include <boost/process/io.hpp>
#include <boost/process/pipe.hpp>

#include <iostream>
#include <istream>
#include <regex>
#include <system_error>

namespace bp = boost::process;

std::pair<std::string, std::string> ParseSchemeReply(std::istream& output)
{
    static const std::regex codeLine("^CODE:(.*)$", std::regex::ECMAScript);
    static const std::regex nameLine("^NAME:(.*)$", std::regex::ECMAScript);
    std::string code;
    std::string name;
    std::string line;
    std::smatch match;
    while ((code.empty() || name.empty()) && std::getline(output, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (code.empty() && std::regex_match(line, match, codeLine))
            code = match[1].str();
        else if (name.empty() && std::regex_match(line, match, nameLine))
            name = match[1].str();
    }
    return {code, name};
}

std::pair<std::string, std::string> SelectScheme(const std::filesystem::path& tool, const std::string& formatWord)
{
    bp::ipstream output;
    std::error_code error;
    // Arguments go as UTF-8 bytes: the process library would convert wide ones through the
    // environment's locale.
    bp::child child(tool.string(), std::vector<std::string>{"--action", "select", "--format", formatWord},
                    bp::std_out > output, bp::std_err > bp::null, error);
    if (error || !child.valid())
        return {};
    const std::pair<std::string, std::string> result = ParseSchemeReply(output);
    // Closing our end lets a tool that keeps writing fail instead of filling the pipe and
    // waiting for a reader that is gone.
    output.pipe().close();
    child.wait(error);
    if (error)
        std::cerr << "KalvorCLI select: " << error.message() << std::endl;
    return result;
}

std::pair<std::string, std::string> SelectScheme(const std::string& formatWord)
{
    return SelectScheme(CliExecutablePath(), formatWord);
}
