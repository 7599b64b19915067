#pragma once

// A varied set of tasks for the store and service benchmarks: every trigger and action
// kind in turn, Cyrillic names and paths, and tasks that carry modification times.

#include "model/TaskInfo.h"

#include <boost/uuid/string_generator.hpp>

#include <cstddef>
#include <string>
#include <vector>

// `count` tasks whose starting points lie within a day from `start`. Names are unique,
// so each task has a log file of its own.
inline std::vector<TaskInfo> MakeTaskMix(std::size_t count, Instant start)
{
    const boost::uuids::uuid connection = boost::uuids::string_generator()("0f8fad5b-d9cb-469f-a165-70867728950e");
    const ExportFormat formats[] = {DXF, MIF, PNR, DWG, IFC};
    std::vector<TaskInfo> tasks(count);
    for (std::size_t i = 0; i < count; ++i) {
        TaskInfo& t = tasks[i];
        const std::wstring n = std::to_wstring(i);
        t.name = L"Задача " + n;
        t.description = i % 3 == 0 ? L"Еженедельная выгрузка объекта " + n + L" для смежников" : std::wstring();
        t.starting_point = start + Instant(i % 1440) * 60 * kNanosPerSecond;
        switch (i % 3) {
        case 0:
            t.trigger = DailyTrigger{1 + std::int64_t(i % 5)};
            t.run_only_on_working_days = i % 2 == 0;
            break;
        case 1:
            t.trigger = WeeklyTrigger{1 + std::int64_t(i % 3), {1, 3, 5}};
            break;
        default:
            t.trigger = i % 2 == 0 ? MonthlyTrigger{1, {}, {1, 15}} : MonthlyTrigger{1, {1, 4, 7, 10}, {31}};
            break;
        }
        // Every fifth task remembers eight documents, the others none to two.
        ModificationTimes times;
        const std::size_t documents = i % 5 == 0 ? 8 : i % 3;
        for (std::size_t d = 0; d < documents; ++d)
            times.emplace(L"vadro://Демо/Проекты/Объект " + n + L"/Лист " + std::to_wstring(d) + L".dwg",
                          start - Instant(d + 1) * 3600 * kNanosPerSecond);
        switch ((i / 3) % 4) {
        case 0:
            t.action = BackupAction{connection, L"vadro://Демо/Проекты/Объект " + n, L"/srv/backup/Объект " + n};
            break;
        case 1: {
            ExportAction e;
            e.connection_id = connection;
            e.format = formats[i % 5];
            e.project_path = L"vadro://Демо/Проекты/Объект " + n;
            e.output_path = L"/srv/export/Объект " + n;
            if (e.format == IFC) {
                e.ifc_mapping_code = L"M" + n;
                e.ifc_mapping_name = L"Сопоставление " + n;
            } else {
                e.scheme_code = L"S" + n;
                e.scheme_name = L"Схема " + n;
            }
            e.modification_times = std::move(times);
            t.action = std::move(e);
            break;
        }
        case 2:
            t.action = CommandAction{"/usr/local/bin/sync-objects", "/srv/work", L"--object " + n + L" --quiet"};
            break;
        default: {
            CheckAction c;
            c.ids_file = L"/srv/rules/требования.ids";
            c.ifc_file = L"vadro://Демо/Проекты/Объект " + n + L"/Модель.ifc";
            c.modification_times = std::move(times);
            t.action = std::move(c);
            break;
        }
        }
    }
    return tasks;
}
