// Backup speed against `cp -r` of the same tree, measured in the same run with a plain
// timing harness (rounds alternate between the two; the best round of each counts):
//   1. 20,000 documents of 1 KiB in one folder;
//   2. 2,000 documents of 4 KiB in 20 folders beside 3 documents of 50 MB.
// Each case is copied into a new folder, then once more over the copy it made.
// Run: bench_execution_Backup [work directory] [rounds] [small|tree]
//   (default: a temporary directory, 5 rounds, both cases)

#include "common/Utf8.h"
#include "execution/Backup.h"
#include "repository/Connections.h"

#include <QTemporaryDir>

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

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

bool writeFile(const std::string& path, const std::string& content)
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

bool run(const std::string& command)
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

void report(const Case& c, const char* into, const Figures& f)
{
    std::printf("%s, %s: backup %.1f ms (%.0f MB/s), cp -r %.1f ms (%.0f MB/s), ratio %.2f\n", c.title, into, f.backup,
                c.megabytes / f.backup * 1000, f.cp, c.megabytes / f.cp * 1000, f.cp / f.backup);
}

void measure(const std::string& root, const std::string& repo, const Case& c, const vadro_cm::Connection& connection,
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
        run("rm -rf '" + cp + "' '" + bk + "'");
        run("sync");
        auto t0 = Clock::now();
        if (!run("cp -r '" + repo + "/" + c.folder + "' '" + cp + "'"))
            std::printf("cp failed\n");
        fresh.cp = std::min(fresh.cp, msSince(t0));
        t0 = Clock::now();
        backUp();
        fresh.backup = std::min(fresh.backup, msSince(t0));

        run("sync");
        t0 = Clock::now();
        if (!run("cp -r '" + repo + "/" + c.folder + "/.' '" + cp + "'"))
            std::printf("cp failed\n");
        again.cp = std::min(again.cp, msSince(t0));
        t0 = Clock::now();
        backUp();
        again.backup = std::min(again.backup, msSince(t0));
    }
    run("rm -rf '" + cp + "' '" + bk + "'");
    report(c, "into a new folder", fresh);
    report(c, "over the previous copy", again);
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
        writeFile(repo + "/small/d" + std::to_string(i), std::string(1024, char('a' + i % 26)));

    const Case tree{"158 MB tree (2,000 x 4 KiB + 3 x 50 MB)", "tree", 2003,
                    (2000.0 * 4096 + 150.0 * 1048576) / 1048576};
    ::mkdir((repo + "/tree").c_str(), 0755);
    for (int i = 0; i < 2000; ++i) {
        const std::string folder = repo + "/tree/d" + std::to_string(i / 100);
        ::mkdir(folder.c_str(), 0755);
        writeFile(folder + "/f" + std::to_string(i), std::string(4096, 's'));
    }
    for (int i = 0; i < 3; ++i)
        writeFile(repo + "/tree/big" + std::to_string(i), std::string(50u << 20, char('0' + i)));

    vadro_cm::Connection connection;
    connection.name = L"bench";
    connection.address = vadro_cm::ServerAddress{common::fromUtf8(repo), 0};
    const std::filesystem::path connections = root + "/connections.xml";
    Config config(connections);
    ConnectionsModel(config).UpdateConnections({connection});

    if (only.empty() || only == "small")
        measure(root, repo, small, connection, connections, rounds);
    if (only.empty() || only == "tree")
        measure(root, repo, tree, connection, connections, rounds);
    return 0;
}
