// Cost of converting one frame each way, as the voice and link threads do for
// every burst of a call. Log lines (the call start and end) go to a sink that
// drops them, so the figures are the conversion's own.
#include "core/log.h"
#include "testing/test_frames.h"
#include "voice/dmrd_to_hytera.h"
#include "voice/hytera_to_dmrd.h"

#include <benchmark/benchmark.h>

namespace {

namespace hf = hytera_frame;
namespace df = dmrd_frame;

void drop_log(const char *, void *) {}

// Static: a table indexed by source; only the pages touched are resident.
network_call_state network_state;

void convert_to_network(benchmark::State &state, std::uint8_t type) {
    ferrule_log_set_sink(drop_log, nullptr);
    hf::Frame frame = voice_test::hytera(hf::SLOT_BYTE_TS2, type, 0, 1, 2621234, 262);
    const peer_slot_view peer{":127.0.0.1-:62031", 311234, "DB0TST", 3};
    peer_sequence sequence{};
    df::Frame out{};
    for (auto _ : state) {
        ++frame[hf::SEQUENCE_LOW];
        benchmark::DoNotOptimize(hytera_to_dmrd(frame, 0, peer, peer.key, 0x01020304, sequence,
                                                DMR_CODER_BUILDERS, out));
        benchmark::ClobberMemory();
    }
    ferrule_log_set_sink(nullptr, nullptr);
}

void BM_HyteraToDmrdVoiceBurst(benchmark::State &state) {
    convert_to_network(state, 0x88);
}
BENCHMARK(BM_HyteraToDmrdVoiceBurst);

// The header computes its burst with the coder.
void BM_HyteraToDmrdVoiceLcHeader(benchmark::State &state) {
    convert_to_network(state, 0x11);
}
BENCHMARK(BM_HyteraToDmrdVoiceLcHeader);

void BM_DmrdToHyteraVoiceBurst(benchmark::State &state) {
    ferrule_log_set_sink(drop_log, nullptr);
    df::Frame frame = voice_test::dmrd(0, 2621234, 262, 0x81);
    const hytera_target target{"A8.05.07.001", "127.0.0.2", 50001};
    hytera_batch out{};
    std::int64_t now_ms = 0;
    for (auto _ : state) {
        ++frame[df::SEQUENCE];
        benchmark::DoNotOptimize(dmrd_to_hytera(frame, target, network_state, ++now_ms, out));
        benchmark::ClobberMemory();
    }
    ferrule_log_set_sink(nullptr, nullptr);
}
BENCHMARK(BM_DmrdToHyteraVoiceBurst);

} // namespace
