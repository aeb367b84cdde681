#include "network/login_digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

bool login_digest(std::span<const std::uint8_t, 4> salt, std::string_view password,
                  std::span<std::uint8_t, link_msg::DIGEST_LENGTH> digest) {
    std::fill(digest.begin(), digest.end(), std::uint8_t{0});
    if (password.size() > PASSWORD_MAX) {
        return false;
    }
    // Salt and password in one piece, as the master hashes them.
    std::array<std::uint8_t, 4 + PASSWORD_MAX> input{};
    std::memcpy(input.data(), salt.data(), salt.size());
    std::memcpy(input.data() + salt.size(), password.data(), password.size());
    unsigned int length = 0;
    if (EVP_Digest(input.data(), salt.size() + password.size(), digest.data(), &length,
                   EVP_sha256(), nullptr) == 1 &&
        length == digest.size()) {
        return true;
    }
    std::fill(digest.begin(), digest.end(), std::uint8_t{0});
    return false;
}
