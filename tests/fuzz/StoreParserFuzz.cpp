// Fuzz target for the store file reader: any input either parses into tasks or raises
// the XML error, and every task that loads survives a save and a second load unchanged.

#include "model/TaskStoreFile.h"

#include <QString>

#include <boost/property_tree/xml_parser.hpp>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::wstring text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<int>(size)).toStdWString();
    std::vector<store::ParsedTask> parsed;
    try {
        parsed = store::ParseTasks(text);
    } catch (const boost::property_tree::xml_parser_error&) {
        return 0;
    }
    std::vector<TaskInfo> tasks;
    for (auto& p : parsed)
        if (p.task)
            tasks.push_back(*p.task);
    std::vector<const TaskInfo*> pointers;
    for (const auto& t : tasks)
        pointers.push_back(&t);
    const auto again = store::ParseTasks(store::WriteTasks(pointers));
    if (again.size() != tasks.size())
        std::abort();
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        if (!again[i].task)
            std::abort();
        TaskInfo reread = *again[i].task;
        reread.starting_point = tasks[i].starting_point;
        if (!(reread == tasks[i]))
            std::abort();
    }
    return 0;
}
