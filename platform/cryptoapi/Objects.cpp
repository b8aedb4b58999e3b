#include "platform/cryptoapi/Der.h"

#include <algorithm>
#include <cstring>

namespace capi {

using namespace detail;

namespace {

constexpr Dword kEncodings = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// ---- Decoded models --------------------------------------------------------

struct AlgorithmModel {
    std::string oid;
    ByteSpan parameters;
};

struct PublicKeyInfoModel {
    AlgorithmModel algorithm;
    ByteSpan key;
    Dword unusedBits = 0;
};

struct AttributeModel {
    std::string oid;
    std::vector<ByteSpan> values;
};

struct SignerInfoModel {
    Dword version = 0;
    ByteSpan issuer;
    // Big-endian, as in the DER.
    ByteSpan serial;
    AlgorithmModel hash;
    AlgorithmModel encryption;
    ByteSpan encryptedHash;
    std::vector<AttributeModel> authenticated;
    std::vector<AttributeModel> unauthenticated;
};

Dword readOid(ByteSpan& input, std::string& text) {
    Element oid;
    if (const Dword error = expectElement(input, kTagOid, oid); error != 0) {
        return error;
    }
    auto dotted = oidText(oid.content);
    if (!dotted) {
        return CRYPT_E_ASN1_CORRUPT;
    }
    text = std::move(*dotted);
    return 0;
}

Dword readAlgorithm(ByteSpan& input, AlgorithmModel& algorithm) {
    Element sequence;
    if (const Dword error = expectElement(input, kTagSequence, sequence); error != 0) {
        return error;
    }
    ByteSpan inner = sequence.content;
    if (const Dword error = readOid(inner, algorithm.oid); error != 0) {
        return error;
    }
    if (!inner.empty()) {
        Element parameters;
        if (const Dword error = readElement(inner, parameters); error != 0) {
            return error;
        }
        algorithm.parameters = parameters.whole;
    }
    return inner.empty() ? 0 : CRYPT_E_ASN1_CORRUPT;
}

// The one element input holds, with nothing after it.
Dword readOnly(ByteSpan input, std::uint8_t tag, Element& element) {
    if (const Dword error = expectElement(input, tag, element); error != 0) {
        return error;
    }
    return input.empty() ? 0 : CRYPT_E_ASN1_CORRUPT;
}

Dword readPublicKeyInfo(ByteSpan input, PublicKeyInfoModel& model) {
    Element outer;
    if (const Dword error = readOnly(input, kTagSequence, outer); error != 0) {
        return error;
    }
    ByteSpan inner = outer.content;
    if (const Dword error = readAlgorithm(inner, model.algorithm); error != 0) {
        return error;
    }
    Element bits;
    if (const Dword error = readOnly(inner, kTagBitString, bits); error != 0) {
        return error;
    }
    if (bits.content.empty() || bits.content[0] > 7 ||
        (bits.content.size() == 1 && bits.content[0] != 0)) {
        return CRYPT_E_ASN1_CORRUPT;
    }
    model.unusedBits = bits.content[0];
    model.key = bits.content.subspan(1);
    return 0;
}

Dword readAttributes(ByteSpan content, std::vector<AttributeModel>& attributes) {
    while (!content.empty()) {
        Element attribute;
        if (const Dword error = expectElement(content, kTagSequence, attribute); error != 0) {
            return error;
        }
        ByteSpan inner = attribute.content;
        AttributeModel model;
        if (const Dword error = readOid(inner, model.oid); error != 0) {
            return error;
        }
        Element values;
        if (const Dword error = readOnly(inner, kTagSet, values); error != 0) {
            return error;
        }
        for (ByteSpan rest = values.content; !rest.empty();) {
            Element value;
            if (const Dword error = readElement(rest, value); error != 0) {
                return error;
            }
            model.values.push_back(value.whole);
        }
        attributes.push_back(std::move(model));
    }
    return 0;
}

Dword readSignerInfo(ByteSpan input, SignerInfoModel& model) {
    Element outer;
    if (const Dword error = readOnly(input, kTagSequence, outer); error != 0) {
        return error;
    }
    ByteSpan inner = outer.content;
    Element version;
    if (const Dword error = expectElement(inner, kTagInteger, version); error != 0) {
        return error;
    }
    const ByteSpan digits = version.content;
    if (digits.empty() || (digits[0] & 0x80) != 0) {
        return CRYPT_E_ASN1_CORRUPT;
    }
    const std::size_t leading = digits[0] == 0 ? 1 : 0;
    if (digits.size() - leading > 4) {
        return CRYPT_E_ASN1_LARGE;
    }
    for (std::size_t i = leading; i < digits.size(); ++i) {
        model.version = model.version << 8 | digits[i];
    }
    Element issuerAndSerial;
    if (const Dword error = expectElement(inner, kTagSequence, issuerAndSerial); error != 0) {
        return error;
    }
    ByteSpan pair = issuerAndSerial.content;
    Element issuer;
    Element serial;
    if (const Dword error = expectElement(pair, kTagSequence, issuer); error != 0) {
        return error;
    }
    if (const Dword error = readOnly(pair, kTagInteger, serial); error != 0) {
        return error;
    }
    if (serial.content.empty()) {
        return CRYPT_E_ASN1_CORRUPT;
    }
    model.issuer = issuer.whole;
    model.serial = serial.content;
    if (const Dword error = readAlgorithm(inner, model.hash); error != 0) {
        return error;
    }
    Element optional;
    if (expectElement(inner, kTagContext0, optional) == 0) {
        if (const Dword error = readAttributes(optional.content, model.authenticated); error != 0) {
            return error;
        }
    }
    if (const Dword error = readAlgorithm(inner, model.encryption); error != 0) {
        return error;
    }
    Element encrypted;
    if (const Dword error = expectElement(inner, kTagOctetString, encrypted); error != 0) {
        return error;
    }
    model.encryptedHash = encrypted.content;
    if (!inner.empty()) {
        if (const Dword error = readOnly(inner, kTagContext1, optional); error != 0) {
            return error;
        }
        if (const Dword error = readAttributes(optional.content, model.unauthenticated);
            error != 0) {
            return error;
        }
    }
    return 0;
}

// ---- Laying a structure out in the caller's buffer ---------------------------

// The structure first, then what it points to. A first pass without a
// buffer measures; the second writes.
class Layout {
public:
    Layout(std::uint8_t* base, bool copy) : base_(base), copy_(copy) {}

    template <class T>
    T* take(std::size_t count) {
        offset_ = (offset_ + alignof(T) - 1) / alignof(T) * alignof(T);
        T* const at = base_ != nullptr ? reinterpret_cast<T*>(base_ + offset_) : nullptr;
        offset_ += sizeof(T) * count;
        return at;
    }
    std::size_t size() const { return offset_; }

    CRYPT_DATA_BLOB blob(ByteSpan bytes) {
        if (!copy_) {
            return {static_cast<Dword>(bytes.size()), const_cast<std::uint8_t*>(bytes.data())};
        }
        std::uint8_t* const at = take<std::uint8_t>(bytes.size());
        if (at != nullptr && !bytes.empty()) {
            std::memcpy(at, bytes.data(), bytes.size());
        }
        return {static_cast<Dword>(bytes.size()), bytes.empty() ? nullptr : at};
    }
    // Always a copy: the order of the bytes changes.
    CRYPT_DATA_BLOB reversed(ByteSpan bytes) {
        std::uint8_t* const at = take<std::uint8_t>(bytes.size());
        if (at != nullptr) {
            std::reverse_copy(bytes.begin(), bytes.end(), at);
        }
        return {static_cast<Dword>(bytes.size()), at};
    }
    char* text(const std::string& value) {
        char* const at = take<char>(value.size() + 1);
        if (at != nullptr) {
            std::memcpy(at, value.c_str(), value.size() + 1);
        }
        return at;
    }

private:
    std::uint8_t* base_;
    bool copy_;
    std::size_t offset_ = 0;
};

template <class T>
void place(T* at, const T& value) {
    if (at != nullptr) {
        *at = value;
    }
}

CRYPT_ALGORITHM_IDENTIFIER layAlgorithm(Layout& layout, const AlgorithmModel& algorithm) {
    CRYPT_ALGORITHM_IDENTIFIER out{};
    out.pszObjId = layout.text(algorithm.oid);
    out.Parameters = layout.blob(algorithm.parameters);
    return out;
}

CRYPT_ATTRIBUTES layAttributes(Layout& layout, const std::vector<AttributeModel>& attributes) {
    CRYPT_ATTRIBUTES out{static_cast<Dword>(attributes.size()), nullptr};
    if (attributes.empty()) {
        return out;
    }
    out.rgAttr = layout.take<CRYPT_ATTRIBUTE>(attributes.size());
    for (std::size_t i = 0; i < attributes.size(); ++i) {
        const AttributeModel& model = attributes[i];
        CRYPT_ATTRIBUTE attribute{};
        attribute.pszObjId = layout.text(model.oid);
        attribute.cValue = static_cast<Dword>(model.values.size());
        attribute.rgValue = layout.take<CRYPT_ATTR_BLOB>(model.values.size());
        for (std::size_t v = 0; v < model.values.size(); ++v) {
            place(attribute.rgValue == nullptr ? nullptr : attribute.rgValue + v,
                  layout.blob(model.values[v]));
        }
        place(out.rgAttr == nullptr ? nullptr : out.rgAttr + i, attribute);
    }
    return out;
}

void lay(Layout& layout, const PublicKeyInfoModel& model) {
    auto* const info = layout.take<CERT_PUBLIC_KEY_INFO>(1);
    CERT_PUBLIC_KEY_INFO value{};
    value.Algorithm = layAlgorithm(layout, model.algorithm);
    const CRYPT_DATA_BLOB key = layout.blob(model.key);
    value.PublicKey = {key.cbData, key.pbData, model.unusedBits};
    place(info, value);
}

void lay(Layout& layout, const SignerInfoModel& model) {
    auto* const info = layout.take<CMSG_SIGNER_INFO>(1);
    CMSG_SIGNER_INFO value{};
    value.dwVersion = model.version;
    value.Issuer = layout.blob(model.issuer);
    value.SerialNumber = layout.reversed(model.serial);
    value.HashAlgorithm = layAlgorithm(layout, model.hash);
    value.HashEncryptionAlgorithm = layAlgorithm(layout, model.encryption);
    value.EncryptedHash = layout.blob(model.encryptedHash);
    value.AuthAttrs = layAttributes(layout, model.authenticated);
    value.UnauthAttrs = layAttributes(layout, model.unauthenticated);
    place(info, value);
}

template <class Model>
Bool decodeInto(const Model& model, bool copy, void* structInfo, Dword* length) {
    Layout measure(nullptr, copy);
    lay(measure, model);
    auto* const out = static_cast<std::uint8_t*>(structInfo);
    return putOutput(out, length, measure.size(), [&] {
        if (reinterpret_cast<std::uintptr_t>(out) % alignof(CMSG_SIGNER_INFO) != 0) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        Layout write(out, copy);
        lay(write, model);
        *length = static_cast<Dword>(measure.size());
        return kTrue;
    });
}

// ---- Encoding --------------------------------------------------------------

// The bytes of a blob; false when it points nowhere but claims bytes.
bool bytesOf(const CRYPT_DATA_BLOB& blob, ByteSpan& bytes) {
    if (blob.pbData == nullptr && blob.cbData != 0) {
        return false;
    }
    bytes = blob.cbData == 0 ? ByteSpan{} : ByteSpan(blob.pbData, blob.cbData);
    return true;
}

// A blob that must hold exactly one element (empty allowed when optional).
bool oneElement(const CRYPT_DATA_BLOB& blob, bool optional, ByteSpan& bytes) {
    if (!bytesOf(blob, bytes)) {
        return false;
    }
    if (bytes.empty()) {
        return optional;
    }
    ByteSpan rest = bytes;
    Element element;
    return readElement(rest, element) == 0 && rest.empty();
}

bool appendOid(Bytes& out, const char* text) {
    const auto content = oidContent(text);
    if (!content) {
        return false;
    }
    appendElement(out, kTagOid, *content);
    return true;
}

bool appendAlgorithm(Bytes& out, const CRYPT_ALGORITHM_IDENTIFIER& algorithm) {
    Bytes inner;
    ByteSpan parameters;
    if (!appendOid(inner, algorithm.pszObjId) ||
        !oneElement(algorithm.Parameters, true, parameters)) {
        return false;
    }
    inner.insert(inner.end(), parameters.begin(), parameters.end());
    appendElement(out, kTagSequence, inner);
    return true;
}

bool encodePublicKeyInfo(const CERT_PUBLIC_KEY_INFO& info, Bytes& out) {
    Bytes inner;
    ByteSpan key;
    if (!appendAlgorithm(inner, info.Algorithm) ||
        !bytesOf({info.PublicKey.cbData, info.PublicKey.pbData}, key) ||
        info.PublicKey.cUnusedBits > 7 || (key.empty() && info.PublicKey.cUnusedBits != 0)) {
        return false;
    }
    Bytes bits{static_cast<std::uint8_t>(info.PublicKey.cUnusedBits)};
    bits.insert(bits.end(), key.begin(), key.end());
    appendElement(inner, kTagBitString, bits);
    appendElement(out, kTagSequence, inner);
    return true;
}

bool appendAttributes(Bytes& out, std::uint8_t tag, const CRYPT_ATTRIBUTES& attributes) {
    if (attributes.cAttr == 0) {
        return true;
    }
    if (attributes.rgAttr == nullptr) {
        return false;
    }
    Bytes all;
    for (Dword i = 0; i < attributes.cAttr; ++i) {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[i];
        Bytes inner;
        if (!appendOid(inner, attribute.pszObjId) ||
            (attribute.cValue != 0 && attribute.rgValue == nullptr)) {
            return false;
        }
        Bytes values;
        for (Dword v = 0; v < attribute.cValue; ++v) {
            ByteSpan value;
            if (!oneElement(attribute.rgValue[v], false, value)) {
                return false;
            }
            values.insert(values.end(), value.begin(), value.end());
        }
        appendElement(inner, kTagSet, values);
        appendElement(all, kTagSequence, inner);
    }
    appendElement(out, tag, all);
    return true;
}

bool encodeSignerInfo(const CMSG_SIGNER_INFO& info, Bytes& out) {
    Bytes inner;
    Bytes version;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<std::uint8_t>(info.dwVersion >> shift);
        if (!version.empty() || byte != 0 || shift == 0) {
            if (version.empty() && (byte & 0x80) != 0) {
                version.push_back(0);
            }
            version.push_back(byte);
        }
    }
    appendElement(inner, kTagInteger, version);

    ByteSpan issuer;
    ByteSpan serial;
    if (!oneElement(info.Issuer, false, issuer) || !bytesOf(info.SerialNumber, serial) ||
        serial.empty()) {
        return false;
    }
    Bytes pair(issuer.begin(), issuer.end());
    appendElement(pair, kTagInteger, Bytes(serial.rbegin(), serial.rend()));
    appendElement(inner, kTagSequence, pair);

    ByteSpan encrypted;
    if (!appendAlgorithm(inner, info.HashAlgorithm) ||
        !appendAttributes(inner, kTagContext0, info.AuthAttrs) ||
        !appendAlgorithm(inner, info.HashEncryptionAlgorithm) ||
        !bytesOf(info.EncryptedHash, encrypted)) {
        return false;
    }
    appendElement(inner, kTagOctetString, encrypted);
    if (!appendAttributes(inner, kTagContext1, info.UnauthAttrs)) {
        return false;
    }
    appendElement(out, kTagSequence, inner);
    return true;
}

} // namespace

Bool CryptDecodeObject(Dword encoding, Dword structType, const std::uint8_t* encoded,
                       Dword encodedLength, Dword flags, void* structInfo, Dword* length) {
    const auto lock = lockCall();
    if (injectedFailure("CryptDecodeObject")) {
        return kFalse;
    }
    if (length == nullptr || (encoded == nullptr && encodedLength != 0)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if ((encoding & kEncodings) == 0 || (flags & ~CRYPT_DECODE_NOCOPY_FLAG) != 0) {
        return fail(E_INVALIDARG);
    }
    const ByteSpan input = encodedLength == 0 ? ByteSpan{} : ByteSpan(encoded, encodedLength);
    const bool copy = (flags & CRYPT_DECODE_NOCOPY_FLAG) == 0;
    switch (structType) {
    case X509_PUBLIC_KEY_INFO: {
        PublicKeyInfoModel model;
        if (const Dword error = readPublicKeyInfo(input, model); error != 0) {
            return fail(error);
        }
        return decodeInto(model, copy, structInfo, length);
    }
    case PKCS7_SIGNER_INFO: {
        SignerInfoModel model;
        if (const Dword error = readSignerInfo(input, model); error != 0) {
            return fail(error);
        }
        return decodeInto(model, copy, structInfo, length);
    }
    default:
        return fail(ERROR_FILE_NOT_FOUND);
    }
}

Bool CryptEncodeObject(Dword encoding, Dword structType, const void* structInfo,
                       std::uint8_t* encoded, Dword* length) {
    const auto lock = lockCall();
    if (injectedFailure("CryptEncodeObject")) {
        return kFalse;
    }
    if (length == nullptr || structInfo == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if ((encoding & kEncodings) == 0) {
        return fail(E_INVALIDARG);
    }
    Bytes der;
    bool written = false;
    switch (structType) {
    case X509_PUBLIC_KEY_INFO:
        written = encodePublicKeyInfo(*static_cast<const CERT_PUBLIC_KEY_INFO*>(structInfo), der);
        break;
    case PKCS7_SIGNER_INFO:
        written = encodeSignerInfo(*static_cast<const CMSG_SIGNER_INFO*>(structInfo), der);
        break;
    default:
        return fail(ERROR_FILE_NOT_FOUND);
    }
    if (!written) {
        return fail(CRYPT_E_BAD_ENCODE);
    }
    return putBytes(der, encoded, length);
}

} // namespace capi
