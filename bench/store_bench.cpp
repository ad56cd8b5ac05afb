// Whole-store saves, flushed to disk: what one write-through save costs the loop.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <unistd.h>

#include "garden/pibo_store.h"
#include "store/profile_store.h"

namespace karst {
namespace {

std::string scratchPath(const char* name) {
    const auto dir = std::filesystem::temp_directory_path() / ("karst-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

void saveProfileStore100k(benchmark::State& state) {
    ProfileStore store(scratchPath("profiles.bin"));
    for (uint32_t i = 0; i < 100'000; ++i) {
        ProfileRecord r{};
        r.profileKey.fill(0x5A);
        std::memcpy(r.profileKey.data(), &i, sizeof i);
        r.rings = i;
        store.update(r);
    }
    for (auto _ : state) benchmark::DoNotOptimize(store.save());
    std::filesystem::remove_all(std::filesystem::path(store.path()).parent_path());
}
BENCHMARK(saveProfileStore100k)->Unit(benchmark::kMillisecond)->UseRealTime();

void savePiboStore10k(benchmark::State& state) {
    PiboStore store(scratchPath("pibo.bin"));
    ProfileKey owner{};
    owner.fill(7);
    for (uint32_t i = 0; i < 10'000; ++i) {
        PiboRecord r = makeFreshPiboRecord(store.allocatePiboId(), owner);
        r.data[kPiboTypeOffset] = 2;
        store.insert(r);
    }
    for (auto _ : state) benchmark::DoNotOptimize(store.save());
    std::filesystem::remove_all(std::filesystem::path(store.path()).parent_path());
}
BENCHMARK(savePiboStore10k)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace karst
