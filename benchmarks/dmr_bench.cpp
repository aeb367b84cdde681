// Cost of the two bursts the gateway builds for every call towards the network,
// and of what it reads from every voice burst: the AMBE+2 error count and the
// embedded signalling.
#include "dmr/ambe_fec.h"
#include "dmr/embedded_lc.h"
#include "dmr/lc.h"
#include "dmr/talker_alias.h"

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

// A superframe's bursts B-E carrying a talker alias block, each also checked
// for bit errors: the decoding every voice burst of a call goes through.
void BM_VoiceBurstDecode(benchmark::State &state) {
    std::array<embedded_lc, TALKER_ALIAS_BLOCKS> alias{};
    talker_alias_encode("DL1ABC Hans", talker_alias_format::seven_bit, alias);
    const auto fragments = embedded_lc_encode(alias[0]);
    std::array<std::array<std::uint8_t, 33>, 4> bursts{};
    const lcss order[4] = {lcss::first, lcss::continuation, lcss::continuation, lcss::last};
    for (std::size_t i = 0; i < bursts.size(); ++i) {
        embedded_write(bursts[i], {1, false, order[i]}, fragments[i]);
    }
    embedded_lc_collector collector;
    talker_alias_collector ta;
    embedded_lc lc{};
    char text[TALKER_ALIAS_TEXT];
    std::size_t i = 0;
    for (auto _ : state) {
        const auto &b = bursts[i++ % bursts.size()];
        benchmark::DoNotOptimize(ambe_burst_errors(b));
        if (collector.add(b, lc) && ta.add(lc)) {
            benchmark::DoNotOptimize(ta.text(text));
        }
    }
}
BENCHMARK(BM_VoiceBurstDecode);

} // namespace
