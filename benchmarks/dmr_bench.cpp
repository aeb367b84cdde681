// Cost of the two bursts the gateway builds for every call towards the network.
#include "dmr/lc.h"

#include <benchmark/benchmark.h>

namespace {

void BM_VoiceLcHeader(benchmark::State &state) {
    std::uint32_t src = 1234567;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ipscpacket_construct_payload_voice_lc_header(1, 9, src++));
    }
}
BENCHMARK(BM_VoiceLcHeader);

void BM_TerminatorWithLc(benchmark::State &state) {
    std::uint32_t src = 1234567;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ipscpacket_construct_payload_terminator_with_lc(0, 9, src++));
    }
}
BENCHMARK(BM_TerminatorWithLc);

} // namespace
