// The crypto library's type-table decoders (RSA private and public keys,
// certificates, PKCS #7 messages, signer information) on any input, as DER
// or as text. The first byte picks the row (byte / 2 mod 5) and whether the
// rest is text (low bit); the rest is in a buffer of exactly its length.
// Only the row's codes come back; a decoded object encodes, and what it
// encodes to decodes and encodes to the same bytes again; certificates and
// messages give back the DER they were made from.

#include "control/crypto/QxCAPIASN1Method.h"
#include "control/crypto/QxCAPICipher.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

struct HandleRelease {
    void operator()(QxCAPIHandle* handle) const { qxxCAPIFreeHandle(handle); }
};
using Handle = std::unique_ptr<QxCAPIHandle, HandleRelease>;

struct Row {
    const QxCAPIASN1Method* (*method)();
    int noObject;
};

const Row kRows[] = {
    {qxxCAPI_ASN1_PrivateKeyMethod, kQxBadKey},          {qxxCAPI_ASN1_PublicKeyMethod, kQxBadKey},
    {qxxCAPI_ASN1_CertificateMethod, kQxBadCertificate}, {qxxCAPI_ASN1_PKCS7Method, kQxBadPkcs7},
    {qxxCAPI_ASN1_SignerInfoMethod, kQxBadArmour},
};

int decode(const QxCAPIASN1Method* row, const Bytes& data, std::uint32_t flags, Handle& out) {
    QxCAPIHandle* raw = nullptr;
    const int rc = row->decode(&raw, data.data(), static_cast<std::uint32_t>(data.size()), flags);
    check((rc == kQxOk) == (raw != nullptr));
    out.reset(raw);
    return rc;
}

Bytes encode(const QxCAPIASN1Method* row, QxCAPIHandle* handle) {
    QxBlob out{0, nullptr};
    check(row->encode(handle, &out, 0, nullptr) == kQxOk);
    check(out.pbData != nullptr);
    Bytes der(out.pbData, out.pbData + out.cbData);
    qxxCAPIFree(out.pbData);
    return der;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const Row& row = kRows[(data[0] >> 1) % std::size(kRows)];
    const QxCAPIASN1Method* method = row.method();
    const bool text = (data[0] & 1) != 0;
    const Bytes input(data + 1, data + size);

    Handle handle;
    const int rc = decode(method, input, text ? kQxAsn1InputText : 0, handle);
    if (input.empty()) {
        // No data at all is no argument.
        check(rc == kQxBadArgument);
        return 0;
    }
    if (text) {
        check(rc == kQxOk || rc == row.noObject || rc == kQxBadBase64 || rc == kQxBadArmour ||
              rc == kQxNoMemory);
    } else {
        check(rc == kQxOk || rc == row.noObject);
    }
    if (rc != kQxOk) {
        return 0;
    }
    check(handle->type == method->handleType && handle->row == method);
    if (handle->type == kQxHandlePrivateKey || handle->type == kQxHandlePublicKey) {
        check(QxXCAPI_KeySize(handle.get()) > 0);
    }
    const Bytes der = encode(method, handle.get());
    if (!text && (handle->type == kQxHandleCertificate || handle->type == kQxHandlePkcs7)) {
        check(der == input);
    }
    Handle again;
    check(decode(method, der, 0, again) == kQxOk);
    check(encode(method, again.get()) == der);
    return 0;
}
