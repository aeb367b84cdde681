#pragma once
// Datagrams a reaction wants sent. The reactions to received datagrams fill an
// outbox instead of sending, so tests can see every reply with its socket and
// destination; the receiver threads send what it holds.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <netinet/in.h>
#include <span>

enum class socket_kind : std::uint8_t { control, voice, rdac };

struct outgoing_datagram {
    socket_kind via;
    sockaddr_in to;
    std::size_t length;
    std::array<std::uint8_t, 32> bytes;

    std::span<const std::uint8_t> payload() const { return {bytes.data(), length}; }
};

// No reaction sends more than four datagrams; the capacity leaves room for the
// online pass, which may drop several repeaters at once and is flushed per slot.
struct outbox {
    static constexpr std::size_t CAPACITY = 8;
    std::array<outgoing_datagram, CAPACITY> items{};
    std::size_t count = 0;

    // Returns false (and drops the datagram) when full or too long; neither
    // happens with the gateway's own packets.
    bool add(socket_kind via, const sockaddr_in &to, std::span<const std::uint8_t> bytes) {
        if (count == CAPACITY || bytes.size() > items[0].bytes.size()) {
            return false;
        }
        outgoing_datagram &d = items[count++];
        d.via = via;
        d.to = to;
        d.length = bytes.size();
        std::memcpy(d.bytes.data(), bytes.data(), bytes.size());
        return true;
    }
    void clear() { count = 0; }
};

// IPv4 socket address from a host-order port and a network-order address.
inline sockaddr_in ipv4_destination(in_addr address, std::uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(port);
    return to;
}
