#pragma once

// The two shares of the challenge key, each 24 bytes as 48 hex digits. The
// key is their byte-wise exclusive-or, formed only while a challenge is
// made; the bank's server holds the same key to answer it.

#include <string_view>

namespace tavelo {

inline constexpr std::string_view kServerKeyShareA =
    "03efd7c9e680cf097e8fd77eb30041b35887381c4664418f";
inline constexpr std::string_view kServerKeyShareB =
    "6bb63d89c5b63ece7da6f08daa577a786074e80488cae0ba";

} // namespace tavelo
