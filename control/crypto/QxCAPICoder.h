#pragma once

// The crypto library's text encodings: Base64, hexadecimal and PEM armour.
//
// Outputs follow the library's rule (see QxBlob): a null *out asks for an
// allocated result (freed with qxxCAPIFree); a set *out names the caller's
// buffer with *outLength as its capacity, and a capacity that is too small
// gives kQxBufferTooSmall with the needed size in *outLength. A result that
// would not fit the 32-bit count gives kQxNoMemory. A null argument where a
// value is needed gives kQxBadArgument. Texts need not end with a NUL.

#include "control/crypto/QxCAPILib.h"

#include <cstdint>

// Lines of 64 characters, each (the last one too) ended by a line feed; an
// empty input gives an empty text. An allocated result carries one more zero
// byte; nothing is written after the text in a caller's buffer.
int qxbase64_encode(const std::uint8_t* data, std::uint32_t length, char** out,
                    std::uint32_t* outLength);
// The same characters on one line. An allocated result ends with a NUL; a
// caller's buffer gets one only when its capacity exceeds the text.
int qxbase64_encode_ex(const std::uint8_t* data, std::uint32_t length, char** out,
                       std::uint32_t* outLength);
// Line breaks are skipped anywhere, a blank reads as "+", the first "=" or NUL
// ends the text. kQxBadBase64 for a text whose length less its line breaks is
// not a multiple of 4, more than two "=" at its end, a character outside the
// alphabet or an unfinished last group. *outLength receives the bytes
// written; a caller's buffer larger than the size the text announces gets a
// zero byte after them, an allocated result always does.
int qxbase64_decode(const char* text, std::uint32_t length, std::uint8_t** out,
                    std::uint32_t* outLength);

// PEM armour "-----BEGIN name-----" / "-----END name-----" around the lines of
// qxbase64_encode; with typeName null or empty, plain qxbase64_encode. An
// allocated result ends with a NUL not counted in out->cbData.
int QxXCAPI_Encode(const std::uint8_t* data, std::uint32_t length, QxBlob* out,
                   const char* typeName);
// Decodes plain Base64, or the armoured text of one of the names in aliases
// (separated by ";"). kQxBadArmour for a name over 110 characters or broken
// armour; text armoured with an unlisted name fails as Base64 (kQxBadBase64).
int QxXCAPI_Decode(const char* text, std::uint32_t length, QxBlob* out, const char* aliases);

// Two upper-case digits a byte, always into an allocated result (any pointer
// in *out is overwritten) with a NUL after them.
int QxXCAPI_HexEncode(const std::uint8_t* data, std::uint32_t length, char** out,
                      std::uint32_t* outLength);
// length / 2 bytes (a last odd digit is ignored), always allocated with one
// zero byte more; kQxNoMemory for an empty text. On kQxBadHex the allocated
// buffer has been stored in *out and is the caller's to free.
int QxXCAPI_HexDecode(const char* text, std::uint32_t length, std::uint8_t** out,
                      std::uint32_t* outLength);

// 0 to 15 for a hex digit of either case, else -1.
int qxxCAPIHexDigitValue(char c);
