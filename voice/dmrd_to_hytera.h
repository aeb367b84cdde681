#pragma once
// Network DMRD frame -> repeater voice frame. The link thread calls this for
// every received DMRD datagram and sends the result from the voice socket.

#include "voice/dmrd_frame.h"
#include "voice/hytera_frame.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <netinet/in.h>
#include <span>
#include <string_view>

inline constexpr std::uint32_t NETWORK_SOURCE_MIN = 4000;
inline constexpr std::uint32_t NETWORK_ID_MAX = 9000000;

// Indexed directly by source ID. The two tables are large; they live in
// zero-initialised static storage so only the pages of sources actually heard
// become resident.
struct network_call_state {
    std::array<std::uint32_t, NETWORK_ID_MAX + 1> wrap_count;
    std::array<std::uint32_t, NETWORK_ID_MAX + 1> call_open;
    std::array<std::uint32_t, 2> data_packet_count;
    std::array<std::uint32_t, 2> data_destination;
};

// The link thread's instance; only that thread touches it.
extern network_call_state mmdvm_rx_state;

// What repeater index 0 offers as a destination when the frame is converted.
struct hytera_target {
    std::string_view firmware;
    std::string_view address;
    std::uint16_t voice_port;
};

enum class dmrd_outcome {
    dropped,        // rejected or filtered: nothing to send
    send,           // `out` holds a frame for the target
    no_destination, // converted and state updated, but the target has no usable address
};

dmrd_outcome dmrd_to_hytera(std::span<const std::uint8_t> datagram, const hytera_target &target,
                            network_call_state &state,
                            std::span<std::uint8_t, hytera_frame::LENGTH> out);

// True when `address` is a dotted quad that names one host (not any, not
// broadcast) and `port` is set; a repeater that never registered on the voice
// port has neither.
bool hytera_target_usable(std::string_view address, std::uint16_t port);
// The same check, also giving the socket address to send to.
bool hytera_target_address(std::string_view address, std::uint16_t port, sockaddr_in &out);
