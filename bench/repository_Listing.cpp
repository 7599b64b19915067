// Listing and resolving in a repository folder of 10,000 documents, and reading a 100 MB
// document in chunks through the boundary against `cat` of the same file to /dev/null.
// Run by hand; the throughput figures are per iteration of the named operation.

#include "common/Utf8.h"
#include "repository/Vadro.h"

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr int kDocuments = 10'000;
constexpr std::size_t kBigSize = 100u * 1024 * 1024;

struct Data
{
    QTemporaryDir dir;
    std::string listing; // folder of kDocuments documents
    std::string root;    // repository root; the listing folder and the big document lie in it
    std::string big;
    std::shared_ptr<vadro::ICore> core = vadro::CreateCore();
};

Data* data = nullptr;

bool WriteFile(const std::string& path, const char* bytes, std::size_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = true;
    while (size > 0 && ok) {
        const ssize_t written = ::write(fd, bytes, size);
        ok = written > 0;
        if (ok) {
            bytes += written;
            size -= static_cast<std::size_t>(written);
        }
    }
    return ::close(fd) == 0 && ok;
}

bool Prepare(Data& d)
{
    if (!d.dir.isValid())
        return false;
    d.root = d.dir.path().toStdString() + "/repo";
    d.listing = d.root + "/many";
    if (::mkdir(d.root.c_str(), 0755) != 0 || ::mkdir(d.listing.c_str(), 0755) != 0)
        return false;
    for (int i = 0; i < kDocuments; ++i) {
        const std::string name = d.listing + "/Документ " + std::to_string(i) + ".dwg";
        if (!WriteFile(name, name.data(), name.size()))
            return false;
    }
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>(i * 131);
    d.big = d.root + "/big.bin";
    const int fd = ::open(d.big.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (std::size_t done = 0; fd >= 0 && done < kBigSize; done += block.size()) {
        if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
            return false;
    }
    return fd >= 0 && ::close(fd) == 0;
}

vadro_cm::Address Address()
{
    return vadro_cm::ServerAddress{common::fromUtf8(data->root), 0};
}

void BM_ListChildren(benchmark::State& state)
{
    auto session = data->core->OpenSession(Address(), {});
    const vadro::IdPath folder = session->GetPathResolver()->ResolvePath({L"many"});
    for (auto _ : state) {
        auto children = session->ListChildren(folder);
        if (children.size() != kDocuments)
            state.SkipWithError("wrong child count");
        benchmark::DoNotOptimize(children.data());
    }
    state.SetItemsProcessed(state.iterations() * kDocuments);
}
BENCHMARK(BM_ListChildren)->Unit(benchmark::kMillisecond);

void BM_ResolvePath(benchmark::State& state)
{
    auto session = data->core->OpenSession(Address(), {});
    auto resolver = session->GetPathResolver();
    int i = 0;
    for (auto _ : state) {
        const std::wstring name = L"Документ " + std::to_wstring(i++ % kDocuments) + L".dwg";
        const vadro::IdPath ids = resolver->ResolvePath({L"many", name});
        if (ids.size() != 2)
            state.SkipWithError("path not resolved");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ResolvePath);

// Identifiers handed out by another session: the first use learns the folder's children.
void BM_GetPathNamesFreshSession(benchmark::State& state)
{
    auto source = data->core->OpenSession(Address(), {});
    const vadro::IdPath ids = source->GetPathResolver()->ResolvePath({L"many", L"Документ 4242.dwg"});
    for (auto _ : state) {
        auto session = data->core->OpenSession(Address(), {});
        benchmark::DoNotOptimize(session->GetPathResolver()->GetPathNames(ids));
    }
}
BENCHMARK(BM_GetPathNamesFreshSession)->Unit(benchmark::kMillisecond);

void BM_ReadChunks(benchmark::State& state)
{
    auto session = data->core->OpenSession(Address(), {});
    const vadro::IdPath ids = session->GetPathResolver()->ResolvePath({L"big.bin"});
    std::vector<char> buffer(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        auto reader = session->OpenContent(ids);
        std::size_t total = 0;
        while (const std::size_t count = reader->ReadChunk(buffer.data(), buffer.size()))
            total += count;
        if (total != kBigSize)
            state.SkipWithError("short read");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBigSize));
}
BENCHMARK(BM_ReadChunks)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_CatToDevNull(benchmark::State& state)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        char* argv[] = {const_cast<char*>("cat"), const_cast<char*>(data->big.c_str()), nullptr};
        pid_t pid = 0;
        int status = 0;
        if (posix_spawnp(&pid, "cat", &actions, nullptr, argv, environ) != 0 || ::waitpid(pid, &status, 0) != pid ||
            !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            state.SkipWithError("cat failed");
    }
    posix_spawn_file_actions_destroy(&actions);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBigSize));
}
BENCHMARK(BM_CatToDevNull)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    Data d;
    if (!Prepare(d)) {
        std::fprintf(stderr, "cannot prepare the benchmark data: %s\n", std::strerror(errno));
        return 1;
    }
    data = &d;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
