#pragma once
// The input layout of the datagram fuzz targets, shared with the seed
// generator so both agree on it. An input is a short target-specific header,
// then a sequence of records, each one event for the reaction under test:
//
//   op (1 byte) | port (2 bytes) | length (2 bytes) | payload (length bytes)
//
// Numbers are most significant byte first. A record cut short by the end of
// the input carries what is left, so every input means something; a payload
// longer than the target's receive buffer arrives cut to it, as recvfrom
// would deliver it.

#include "core/log.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <span>
#include <vector>

// Invariant checks stay on in every build type; a failure is a finding.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

namespace fuzz_input {

class reader {
  public:
    explicit reader(std::span<const std::uint8_t> data) : data_(data) {}
    bool empty() const { return data_.empty(); }
    // Zero past the end.
    std::uint8_t byte() {
        if (data_.empty()) {
            return 0;
        }
        std::uint8_t b = data_[0];
        data_ = data_.subspan(1);
        return b;
    }
    std::uint16_t u16() {
        std::uint16_t high = byte();
        return static_cast<std::uint16_t>(high << 8 | byte());
    }
    // At most what is left.
    std::span<const std::uint8_t> take(std::size_t n) {
        n = n < data_.size() ? n : data_.size();
        std::span<const std::uint8_t> part = data_.first(n);
        data_ = data_.subspan(n);
        return part;
    }

  private:
    std::span<const std::uint8_t> data_;
};

struct record {
    std::uint8_t op;
    std::uint16_t port;
    // An exact-size heap copy: a read past the datagram is a sanitizer
    // finding, where in the daemon it would quietly read a stale buffer.
    std::vector<std::uint8_t> payload;
};

// False once the input is used up.
inline bool next_record(reader &in, std::size_t receive_size, record &r) {
    if (in.empty()) {
        return false;
    }
    r.op = in.byte();
    r.port = in.u16();
    const std::size_t length = in.u16();
    std::span<const std::uint8_t> bytes = in.take(length);
    bytes = bytes.first(bytes.size() < receive_size ? bytes.size() : receive_size);
    r.payload.assign(bytes.begin(), bytes.end());
    r.payload.shrink_to_fit();
    return true;
}

inline void put_u16(std::vector<std::uint8_t> &out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

inline void put_record(std::vector<std::uint8_t> &out, std::uint8_t op, std::uint16_t port,
                       std::span<const std::uint8_t> payload) {
    out.push_back(op);
    put_u16(out, port);
    put_u16(out, static_cast<std::uint16_t>(payload.size()));
    out.insert(out.end(), payload.begin(), payload.end());
}

// The repeater-side targets take the sender from the op byte: 10.0.0.op, and
// op 0 the any address, which the repeater table refuses to register.
inline sockaddr_in repeater_sender(std::uint8_t op, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = op == 0 ? htonl(INADDR_ANY) : htonl(0x0A000000u | op);
    return a;
}

// Messages are still formatted, only not printed; FERRULE_FUZZ_LOG set in the
// environment prints them, to follow what a finding did.
inline void quiet_log() {
    static const bool print = std::getenv("FERRULE_FUZZ_LOG") != nullptr;
    if (!print) {
        ferrule_log_set_sink([](const char *, void *) {}, nullptr);
    }
}

} // namespace fuzz_input
