// Backup speed against `cp -r` of the same tree, measured in the same run with a plain
// timing harness (rounds alternate between the two; the best round of each counts):
//   1. 20,000 documents of 1 KiB in one folder;
//   2. 2,000 documents of 4 KiB in 20 folders beside 3 documents of 50 MB.
// Each case is copied into a new folder, then once more over the copy it made.
// The mode "versions" measures backups that keep versions on both cases instead: the first
// (full) version, a second one with nothing changed against the first and against
// `rsync -a --link-dest=<previous>` (when rsync is installed), time and extra disk (du); on the
// large tree one 50 MB document changed; and pruning 100 versions of the 20,000 documents.
// Run: bench_execution_Backup [work directory] [rounds] [small|tree|versions]
//   (default: a temporary directory, 5 rounds, both cases)

#include "common/Utf8.h"
#include "execution/Backup.h"
#include "repository/Connections.h"

#include <QTemporaryDir>

#include <ctime>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

bool WriteFile(const std::string& path, const std::string& content)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && done == content.size();
}

bool Run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

struct Case
{
    const char* title;
    std::string folder; // below the repository root
    std::size_t documents;
    double megabytes;
};

struct Figures
{
    double cp = 1e12;
    double backup = 1e12;
};

void Report(const Case& c, const char* into, const Figures& f)
{
    std::printf("%s, %s: backup %.1f ms (%.0f MB/s), cp -r %.1f ms (%.0f MB/s), ratio %.2f\n", c.title, into, f.backup,
                c.megabytes / f.backup * 1000, f.cp, c.megabytes / f.cp * 1000, f.cp / f.backup);
}

void Measure(const std::string& root, const std::string& repo, const Case& c, const vadro_cm::Connection& connection,
             const std::filesystem::path& connections, int rounds)
{
    auto core = vadro::CreateCore();
    const std::string cp = root + "/cp", bk = root + "/bk";
    Figures fresh, again;
    const auto backUp = [&] {
        const auto result = execution::RunBackup(
            {connection.id, L"vadro://bench/" + common::fromUtf8(c.folder), common::fromUtf8(bk)}, *core, connections);
        if (!result.ok || result.documents != c.documents)
            std::printf("backup copied %zu documents: %ls\n", result.documents, result.reason.c_str());
    };
    for (int round = 0; round < rounds; ++round) {
        Run("rm -rf '" + cp + "' '" + bk + "'");
        Run("sync");
        auto t0 = Clock::now();
        if (!Run("cp -r '" + repo + "/" + c.folder + "' '" + cp + "'"))
            std::printf("cp failed\n");
        fresh.cp = std::min(fresh.cp, MsSince(t0));
        t0 = Clock::now();
        backUp();
        fresh.backup = std::min(fresh.backup, MsSince(t0));

        Run("sync");
        t0 = Clock::now();
        if (!Run("cp -r '" + repo + "/" + c.folder + "/.' '" + cp + "'"))
            std::printf("cp failed\n");
        again.cp = std::min(again.cp, MsSince(t0));
        t0 = Clock::now();
        backUp();
        again.backup = std::min(again.backup, MsSince(t0));
    }
    Run("rm -rf '" + cp + "' '" + bk + "'");
    Report(c, "into a new folder", fresh);
    Report(c, "over the previous copy", again);
}

// Disk used below `path` in KiB, each hard-linked file counted once.
long long DiskKiB(const std::string& path)
{
    std::FILE* pipe = ::popen(("du -sk '" + path + "'").c_str(), "r");
    long long kib = -1;
    if (pipe != nullptr) {
        if (std::fscanf(pipe, "%lld", &kib) != 1)
            kib = -1;
        ::pclose(pipe);
    }
    return kib;
}

std::string VersionName(std::time_t t)
{
    std::tm local{};
    char text[32] = {};
    ::localtime_r(&t, &local);
    std::strftime(text, sizeof text, "%Y-%m-%d_%H-%M-%S", &local);
    return text;
}

constexpr std::time_t kStart = 1'800'000'000;

struct VersionFigures
{
    double first = 1e12, second = 1e12, rsyncFirst = 1e12, rsyncSecond = 1e12, changed = 1e12;
    long long firstKiB = 0, secondKiB = 0, rsyncFirstKiB = 0, rsyncSecondKiB = 0, changedKiB = 0;
    std::size_t changedCopied = 0;
};

void MeasureVersions(const std::string& root, const std::string& repo, const Case& c,
                     const vadro_cm::Connection& connection, const std::filesystem::path& connections, int rounds,
                     bool changeOne)
{
    auto core = vadro::CreateCore();
    const std::string vb = root + "/vb", rs = root + "/rs", source = repo + "/" + c.folder;
    const bool rsync = Run("command -v rsync >/dev/null 2>&1");
    VersionFigures f;
    const auto backUp = [&](std::time_t started, std::size_t copied, std::size_t linked) {
        execution::BackupRequest request{connection.id, L"vadro://bench/" + common::fromUtf8(c.folder),
                                         common::fromUtf8(vb), 1000, started};
        const auto result = execution::RunBackup(request, *core, connections);
        if (!result.ok || result.documents != copied || result.linked != linked)
            std::printf("backup copied %zu and linked %zu documents: %ls\n", result.documents, result.linked,
                        result.reason.c_str());
        return result;
    };
    for (int round = 0; round < rounds; ++round) {
        Run("rm -rf '" + vb + "' '" + rs + "'");
        Run("sync");
        auto t0 = Clock::now();
        backUp(kStart, c.documents, 0);
        f.first = std::min(f.first, MsSince(t0));
        f.firstKiB = DiskKiB(vb);
        Run("sync");
        t0 = Clock::now();
        backUp(kStart + 1, 0, c.documents);
        f.second = std::min(f.second, MsSince(t0));
        f.secondKiB = DiskKiB(vb) - f.firstKiB;
        if (changeOne) {
            Run("sync");
            // Rewritten with other bytes: a new modification time, the same size.
            WriteFile(source + "/big0", std::string(50u << 20, char('a' + round % 26)));
            const long long before = DiskKiB(vb);
            t0 = Clock::now();
            f.changedCopied = backUp(kStart + 2, 1, c.documents - 1).documents;
            f.changed = std::min(f.changed, MsSince(t0));
            f.changedKiB = DiskKiB(vb) - before;
        }
        if (rsync) {
            Run("sync");
            ::mkdir(rs.c_str(), 0755);
            t0 = Clock::now();
            Run("rsync -a '" + source + "/' '" + rs + "/v1/'");
            f.rsyncFirst = std::min(f.rsyncFirst, MsSince(t0));
            f.rsyncFirstKiB = DiskKiB(rs);
            Run("sync");
            t0 = Clock::now();
            Run("rsync -a --link-dest='" + rs + "/v1' '" + source + "/' '" + rs + "/v2/'");
            f.rsyncSecond = std::min(f.rsyncSecond, MsSince(t0));
            f.rsyncSecondKiB = DiskKiB(rs) - f.rsyncFirstKiB;
        }
    }
    Run("rm -rf '" + vb + "' '" + rs + "'");
    std::printf("%s, versions: first %.1f ms (%lld KiB); second, nothing changed: %.1f ms = %.1f %% of the first, "
                "extra disk %lld KiB = %.2f %%\n",
                c.title, f.first, f.firstKiB, f.second, 100 * f.second / f.first, f.secondKiB,
                100.0 * f.secondKiB / f.firstKiB);
    if (rsync)
        std::printf("%s, rsync -a: first %.1f ms (%lld KiB); --link-dest, nothing changed: %.1f ms, extra disk %lld "
                    "KiB; versions/rsync time %.2f\n",
                    c.title, f.rsyncFirst, f.rsyncFirstKiB, f.rsyncSecond, f.rsyncSecondKiB, f.second / f.rsyncSecond);
    else
        std::printf("rsync is not installed: no comparison\n");
    if (changeOne)
        std::printf("%s, versions: one 50 MB document changed: %.1f ms, copied %zu, extra disk %lld KiB\n", c.title,
                    f.changed, f.changedCopied, f.changedKiB);
}

// Pruning: 100 versions (hard-linked copies, as runs make them) of a case, then a run that
// keeps one; its time beside that of a second version that prunes nothing, and `rm -rf`.
void MeasurePruning(const std::string& root, const Case& c, const vadro_cm::Connection& connection,
                    const std::filesystem::path& connections)
{
    auto core = vadro::CreateCore();
    const std::string vb = root + "/vb";
    const auto backUp = [&](std::time_t started, std::uint32_t keep) {
        execution::BackupRequest request{connection.id, L"vadro://bench/" + common::fromUtf8(c.folder),
                                         common::fromUtf8(vb), keep, started};
        const auto result = execution::RunBackup(request, *core, connections);
        if (!result.ok)
            std::printf("backup failed: %ls\n", result.reason.c_str());
    };
    const auto makeHundred = [&] {
        Run("rm -rf '" + vb + "'");
        backUp(kStart, 1000);
        const std::string first = vb + "/" + VersionName(kStart);
        for (int i = 1; i < 100; ++i)
            Run("cp -al '" + first + "' '" + vb + "/" + VersionName(kStart + i) + "'");
        Run("sync");
    };
    makeHundred();
    auto t0 = Clock::now();
    backUp(kStart + 100, 1000);
    const double plain = MsSince(t0);
    Run("rm -rf '" + vb + "/" + VersionName(kStart + 100) + "'");
    Run("sync");
    t0 = Clock::now();
    backUp(kStart + 100, 1);
    const double pruning = MsSince(t0);
    makeHundred();
    t0 = Clock::now();
    Run("rm -rf '" + vb + "'");
    const double rm = MsSince(t0);
    std::printf("%s, 100 versions: a run that removes them %.1f ms, one that removes none %.1f ms, pruning about "
                "%.1f ms; rm -rf of the 100 versions %.1f ms\n",
                c.title, pruning, plain, pruning - plain, rm);
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir tmp;
    const std::string root = argc > 1 ? std::string(argv[1]) : tmp.path().toStdString();
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::string only = argc > 3 ? argv[3] : "";
    const std::string repo = root + "/repo";
    ::mkdir(root.c_str(), 0755);
    ::mkdir(repo.c_str(), 0755);

    const Case small{"20,000 documents of 1 KiB", "small", 20'000, 20'000 / 1024.0};
    ::mkdir((repo + "/small").c_str(), 0755);
    for (std::size_t i = 0; i < small.documents; ++i)
        WriteFile(repo + "/small/d" + std::to_string(i), std::string(1024, char('a' + i % 26)));

    const Case tree{"158 MB tree (2,000 x 4 KiB + 3 x 50 MB)", "tree", 2003,
                    (2000.0 * 4096 + 150.0 * 1048576) / 1048576};
    ::mkdir((repo + "/tree").c_str(), 0755);
    for (int i = 0; i < 2000; ++i) {
        const std::string folder = repo + "/tree/d" + std::to_string(i / 100);
        ::mkdir(folder.c_str(), 0755);
        WriteFile(folder + "/f" + std::to_string(i), std::string(4096, 's'));
    }
    for (int i = 0; i < 3; ++i)
        WriteFile(repo + "/tree/big" + std::to_string(i), std::string(50u << 20, char('0' + i)));

    vadro_cm::Connection connection;
    connection.name = L"bench";
    connection.address = vadro_cm::ServerAddress{common::fromUtf8(repo), 0};
    const std::filesystem::path connections = root + "/connections.xml";
    Config config(connections);
    ConnectionsModel(config).UpdateConnections({connection});

    if (only == "versions") {
        MeasureVersions(root, repo, tree, connection, connections, rounds, true);
        MeasureVersions(root, repo, small, connection, connections, rounds, false);
        MeasurePruning(root, small, connection, connections);
        return 0;
    }
    if (only.empty() || only == "small")
        Measure(root, repo, small, connection, connections, rounds);
    if (only.empty() || only == "tree")
        Measure(root, repo, tree, connection, connections, rounds);
    return 0;
}
