#pragma once

// Conversions between the request map's UTF-8 texts and the card control's
// values: 32-bit integers and BSTR strings going in, BSTR strings and the
// reader list's VARIANT coming back as UTF-8 result text.

#include "common/Json.h"
#include "platform/com/OleAuto.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

// A VARIANT that could not be read or converted. Raised inside the adapter
// only; the component handlers catch it and answer 61011.
class ComError : public std::runtime_error {
public:
    explicit ComError(HRESULT hr) : std::runtime_error("COM error"), hr_(hr) {}
    HRESULT hr() const { return hr_; }

private:
    HRESULT hr_;
};

// The empty object for no text. Malformed UTF-8 turns into U+FFFD.
BstrString utf8ToBstr(std::optional<std::string_view> text);
// Nothing for a null or empty string.
std::optional<std::string> bstrToUtf8(BSTR text);
std::optional<std::string> bstrToUtf8(const BstrString& text);

// The key's value, decoded by its flag keys: "true" 1 and "false" 0 in any
// letter case, otherwise the leading decimal number (white space and a sign
// allowed, 0 without digits) held to the 32-bit range. A missing key gives 0
// and, in the key-check mode, the key-check error.
std::int32_t getJsonMapInt(const JsonMap* map, const char* key);
// The key's decoded value as a BSTR; the empty object when the key is
// missing (and the key-check error in the key-check mode).
BstrString getJsonMapBstr(const JsonMap* map, const char* key);

// The text of a VARIANT as the control's answers need it, read from a copy
// (VariantCopy): a boolean reads "1" or "0"; an array of VARIANTs reads each
// element's piece followed by ";" (a string as it is, a number in decimal,
// anything else empty); any other value, and an array of anything but
// VARIANTs, gives the empty text. Throws ComError when the VARIANT cannot be
// copied or an element cannot be read or converted.
BstrString variantToText(const VARIANT& value);
// The same as UTF-8 result text, nothing when empty. Takes the VARIANT over
// and clears it.
std::optional<std::string> variantToUtf8(Variant value);
