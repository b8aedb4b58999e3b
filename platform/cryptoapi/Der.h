#pragma once

// The little DER the certificate and message calls need: one element at a
// time (low tag numbers, definite lengths of at most four length bytes),
// object identifiers as dotted text, and elements written back.

#include "platform/cryptoapi/Internal.h"

#include <optional>
#include <span>
#include <string>

namespace capi::detail {

using ByteSpan = std::span<const std::uint8_t>;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kTagInteger = 0x02;
inline constexpr std::uint8_t kTagBitString = 0x03;
inline constexpr std::uint8_t kTagOctetString = 0x04;
inline constexpr std::uint8_t kTagOid = 0x06;
inline constexpr std::uint8_t kTagSequence = 0x30;
inline constexpr std::uint8_t kTagSet = 0x31;
inline constexpr std::uint8_t kTagContext0 = 0xA0;
inline constexpr std::uint8_t kTagContext1 = 0xA1;

struct Element {
    std::uint8_t tag = 0;
    ByteSpan content;
    // Identifier, length and content.
    ByteSpan whole;
};

// Reads the element at the front of input and moves input past it; 0, or
// the CRYPT_E_ASN1 error (input is then unchanged).
Dword readElement(ByteSpan& input, Element& element);
// The next element, which must carry tag.
Dword expectElement(ByteSpan& input, std::uint8_t tag, Element& element);

// Dotted text of an OBJECT IDENTIFIER's content; nothing for a malformed
// one or an arc past 64 bits.
std::optional<std::string> oidText(ByteSpan content);
// The content of the identifier written as dotted text; nothing when the
// text is not one.
std::optional<Bytes> oidContent(const char* text);

// Appends identifier, length and content.
void appendElement(Bytes& out, std::uint8_t tag, ByteSpan content);

} // namespace capi::detail
