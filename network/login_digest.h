#pragma once
// The answer to a password-checking master's challenge: SHA-256 over the four
// salt bytes of its RPTACK, as received, followed by the password's bytes.

#include "network/messages.h"

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

// The configuration keeps at most this many characters of a password.
inline constexpr std::size_t PASSWORD_MAX = 255;

// False, with `digest` zeroed, when the password is longer than PASSWORD_MAX
// or the library could not compute the digest.
bool login_digest(std::span<const std::uint8_t, 4> salt, std::string_view password,
                  std::span<std::uint8_t, link_msg::DIGEST_LENGTH> digest);
