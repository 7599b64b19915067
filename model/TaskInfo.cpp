#include "model/TaskInfo.h"

#include <chrono>

Instant CurrentInstant()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TaskInfo::TaskInfo()
    : starting_point(CurrentInstant())
{}

bool ExportAction::operator==(const ExportAction& o) const
{
    return connection_id == o.connection_id && format == o.format && project_path == o.project_path &&
           output_path == o.output_path && scheme_code == o.scheme_code && scheme_name == o.scheme_name &&
           ifc_version == o.ifc_version && ifc_mapping_code == o.ifc_mapping_code &&
           ifc_mapping_name == o.ifc_mapping_name && only_changed_documents == o.only_changed_documents &&
           modification_times == o.modification_times;
}

bool CheckAction::operator==(const CheckAction& o) const
{
    return ids_file == o.ids_file && ifc_file == o.ifc_file && ifc_file_mode == o.ifc_file_mode &&
           ids_file_mode == o.ids_file_mode && only_changed_documents == o.only_changed_documents &&
           modification_times == o.modification_times;
}

bool TaskInfo::operator==(const TaskInfo& o) const
{
    return name == o.name && description == o.description && starting_point == o.starting_point &&
           trigger == o.trigger && run_only_on_working_days == o.run_only_on_working_days && action == o.action &&
           run_missed == o.run_missed && last_run == o.last_run && awaited_run == o.awaited_run && paused == o.paused &&
           retry_count == o.retry_count && retry_interval_minutes == o.retry_interval_minutes &&
           retry_at == o.retry_at && retry_attempt == o.retry_attempt;
}
