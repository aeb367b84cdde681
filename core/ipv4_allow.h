#pragma once
// A list of IPv4 addresses and CIDR blocks, as an operator writes it:
// "192.168.1.20, 10.0.0.0/8". An empty list stands for no restriction.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

class ipv4_allow_list {
  public:
    static constexpr std::size_t CAPACITY = 64;
    static constexpr std::size_t ERROR_SIZE = 160;

    // Replaces the list with the entries of `text`, separated by commas, each
    // with blanks around it allowed. Text of blanks only gives the empty list.
    // On a fault the list is left as it was and `error` says which entry is
    // wrong and why. Addresses are strict dotted quads (no leading zeros,
    // which some readers take as octal); a block's address must have no bits
    // set beyond its prefix, so a mistyped prefix is caught, not widened.
    bool parse(std::string_view text, char (&error)[ERROR_SIZE]);

    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }
    // `address` in network byte order, as in sockaddr_in. An empty list holds
    // every address.
    bool contains(std::uint32_t address) const;
    void clear() { count_ = 0; }

  private:
    struct block {
        std::uint32_t network; // host byte order
        std::uint32_t mask;
    };
    std::array<block, CAPACITY> blocks_{};
    std::size_t count_ = 0;
};
