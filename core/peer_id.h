#pragma once
// The network peers as both the peer table and the voice conversion count
// and present them.

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t PEER_SLOTS = 10;
inline constexpr std::uint32_t PEER_ID_LIMIT = 800000;
// Peers with larger IDs are presented under this one instead, unless the
// link mode asks for the exact ID.
inline constexpr std::uint32_t PEER_ID_SUBSTITUTE = 901005;

constexpr std::uint32_t presented_peer_id(std::uint32_t id, bool exact = false) {
    return exact || id <= PEER_ID_LIMIT ? id : PEER_ID_SUBSTITUTE;
}
