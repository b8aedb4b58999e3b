#pragma once

// The DER reader and writer of the RSA key structures (X.690, definite
// lengths only). The reader never looks past the length it is given: at
// most four length bytes, no indefinite lengths, constructed contents
// nested at most kQxDerMaxDepth deep.

#include "control/crypto/QxCAPILib.h"

#include <cstdint>

inline constexpr std::uint8_t kQxDerClassUniversal = 0x00;
inline constexpr std::uint8_t kQxDerClassContext = 0x80;
inline constexpr std::uint32_t kQxDerTagInteger = 2;
inline constexpr std::uint32_t kQxDerTagSequence = 16;
// The header reader's answer for anything it cannot read.
inline constexpr int kQxDerError = 0x80;
inline constexpr int kQxDerMaxDepth = 16;
// INTEGER writing: the value is the magnitude of a negative number.
inline constexpr std::uint32_t kQxDerNegative = 0x100;

struct QxDerHeader {
    // Bits 0xC0 of the identifier.
    std::uint8_t cls;
    bool constructed;
    std::uint32_t tag;
    // Identifier and length bytes.
    std::uint32_t headerLength;
    std::uint32_t contentLength;
};

// The header of the element at data; 0, or kQxDerError when its identifier,
// its length or its content runs past length, its length is indefinite or
// takes more than four bytes, or its tag number is over 21 bits or written
// in the long form though it fits the short one.
int qxxCAPIDerReadHeader(const std::uint8_t* data, std::uint32_t length, QxDerHeader* header);

// The size of the element at data (identifier, length and content), every
// constructed content checked to be a run of whole elements, down to
// kQxDerMaxDepth levels; -1 when anything cannot be read.
std::int64_t qxxCAPIDerElementSize(const std::uint8_t* data, std::uint32_t length);

// Reads the INTEGER at *data and moves *data and *length past it. The value
// goes to out as a big-endian magnitude without leading zero bytes (zero is
// empty): allocated when out->pbData is null (freed with qxxCAPIFree),
// else copied when out->cbData can hold it. negative, when given, tells the
// sign. 0, or kQxDerError (nothing moved or stored).
int qxxCAPIDerReadInteger(const std::uint8_t** data, std::uint32_t* length, QxBlob* out,
                          bool* negative);

// Identifier and length bytes of an element; null out only measures. The
// number of bytes written.
std::uint32_t qxxCAPIDerWriteHeader(std::uint8_t* out, std::uint8_t cls, bool constructed,
                                    std::uint32_t tag, std::uint32_t contentLength);
// An INTEGER of a big-endian magnitude (flags kQxDerNegative: negated),
// written in its shortest form whatever zero bytes lead the value: 0x00
// before a positive value whose first byte has its top bit set, two's
// complement with a leading 0xFF where a negative one needs it, and one 0x00
// for zero. Null out only measures. The number of bytes written.
std::uint32_t qxxCAPIDerWriteInteger(std::uint8_t* out, const std::uint8_t* value,
                                     std::uint32_t length, std::uint32_t flags);
