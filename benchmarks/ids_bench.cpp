// Loading a DMR ID list the size of the world's registrations (300 000
// lines) from a file, as the loader thread does at start and after a change,
// and the look-up the voice path makes at each call's start.
#include "ids/id_list.h"
#include "testing/id_list_text.h"
#include "testing/test_support.h"

#include <benchmark/benchmark.h>

#include <fstream>

namespace {

constexpr std::size_t ENTRIES = 300000;

// Resident memory of the process, kB.
long resident_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return 0;
}

void BM_IdListLoad300k(benchmark::State &state) {
    ferrule_test::ScratchDir dir;
    const auto file = dir.write("DMRIds.dat", ferrule_test::generated_id_list(ENTRIES));
    std::size_t bytes = 0;
    long grown_kib = 0;
    for (auto _ : state) {
        const long before = resident_kib();
        id_read_counts counts;
        auto table = id_table_read(file.c_str(), counts);
        grown_kib = resident_kib() - before;
        bytes = table->memory();
        if (counts.entries != ENTRIES) {
            state.SkipWithError("not every entry was read");
        }
        benchmark::DoNotOptimize(table);
    }
    state.counters["table_MB"] = static_cast<double>(bytes) / 1e6;
    state.counters["rss_growth_MB"] = static_cast<double>(grown_kib) / 1024.0;
}
BENCHMARK(BM_IdListLoad300k)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_IdListLookup(benchmark::State &state) {
    id_read_counts counts;
    id_list list;
    list.publish(id_table::parse(ferrule_test::generated_id_list(ENTRIES), counts), {});
    char callsign[ID_CALLSIGN_SIZE];
    char name[ID_NAME_SIZE];
    std::uint32_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(list.find(1000001 + (i++ % ENTRIES) * 7, callsign, name));
    }
}
BENCHMARK(BM_IdListLookup);

} // namespace
