// Fuzz target for the store file reader: any input loads (whole or salvaged) without a
// crash, every task that loads survives a save and a second load unchanged (but
// for the fields that a save leaves out on purpose), and saving what the saved document
// loads writes that document again byte for byte.

#include "model/StoreSalvage.h"
#include "model/TaskStoreFile.h"

#include <boost/property_tree/xml_parser.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char* what, std::size_t task)
{
    std::fprintf(stderr, "store round trip: %s (task %zu)\n", what, task);
    std::abort();
}

// What a save keeps of an export's or a check's optional fields: the version and the
// mapping only for IFC, the scheme only for the other formats, a name only with its code.
TaskInfo asSaved(TaskInfo task)
{
    if (auto* e = std::get_if<ExportAction>(&task.action)) {
        if (e->format == IFC) {
            e->scheme_code.clear();
            e->scheme_name.clear();
            if (e->ifc_version.empty())
                e->ifc_version = ExportAction().ifc_version;
        } else {
            e->ifc_version = ExportAction().ifc_version;
            e->ifc_mapping_code.clear();
        }
        if (e->ifc_mapping_code.empty())
            e->ifc_mapping_name.clear();
        if (e->scheme_code.empty())
            e->scheme_name.clear();
        if (!e->only_changed_documents)
            e->modification_times.clear();
    } else if (auto* c = std::get_if<CheckAction>(&task.action)) {
        if (!c->only_changed_documents)
            c->modification_times.clear();
    }
    return task;
}

std::vector<const TaskInfo*> pointersTo(const std::vector<TaskInfo>& tasks)
{
    std::vector<const TaskInfo*> pointers;
    for (const auto& t : tasks)
        pointers.push_back(&t);
    return pointers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The store's bytes as the program loads them, damaged or not.
    const store::Salvage salvage =
        store::SalvageStore(std::string(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size)));
    std::vector<TaskInfo> tasks;
    for (const auto& p : salvage.tasks)
        if (p.task)
            tasks.push_back(*p.task);

    const std::wstring saved = store::WriteTasks(pointersTo(tasks));
    std::vector<store::ParsedTask> again;
    try {
        again = store::ParseTasks(saved);
    } catch (const boost::property_tree::xml_parser_error&) {
        fail("the saved document does not parse", 0);
    }
    if (again.size() != tasks.size())
        fail("the saved document holds another number of tasks", again.size());
    std::vector<TaskInfo> reread;
    for (std::size_t i = 0; i < tasks.size(); ++i) {
        if (!again[i].task)
            fail("a saved task is dropped", i);
        if (!(*again[i].task == asSaved(tasks[i])))
            fail("a saved task loads back different", i);
        reread.push_back(*again[i].task);
    }
    if (store::WriteTasks(pointersTo(reread)) != saved)
        fail("saving the saved tasks writes another document", 0);
    return 0;
}
