#include "platform/cryptoapi/Der.h"

#include <algorithm>
#include <map>

namespace capi {

using namespace detail;

namespace {

// Certificates are handed out as pointers to their context, which stays put
// until freed.
struct Certificate {
    Bytes der;
    CERT_CONTEXT context{};
};

std::map<const CERT_CONTEXT*, std::unique_ptr<Certificate>>& certificates() {
    static std::map<const CERT_CONTEXT*, std::unique_ptr<Certificate>> table;
    return table;
}

struct Store {};
HandleTable<Store, HandleKind::Store>& stores() {
    static HandleTable<Store, HandleKind::Store> table;
    return table;
}

struct Message {
    Bytes der;
    bool finished = false;
};
HandleTable<Message, HandleKind::Message>& messages() {
    static HandleTable<Message, HandleKind::Message> table;
    return table;
}

// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE, signatureAlgorithm
// SEQUENCE, signature BIT STRING }, and nothing after it.
Dword checkCertificate(ByteSpan input) {
    Element outer;
    if (const Dword error = expectElement(input, kTagSequence, outer); error != 0) {
        return error;
    }
    if (!input.empty()) {
        return CRYPT_E_ASN1_CORRUPT;
    }
    ByteSpan inner = outer.content;
    Element part;
    for (const std::uint8_t tag : {kTagSequence, kTagSequence, kTagBitString}) {
        if (const Dword error = expectElement(inner, tag, part); error != 0) {
            return error;
        }
    }
    return inner.empty() ? 0 : CRYPT_E_ASN1_CORRUPT;
}

// ContentInfo ::= SEQUENCE { contentType OBJECT IDENTIFIER, content [0]
// EXPLICIT ANY OPTIONAL }, and nothing after it.
Dword checkContentInfo(ByteSpan input) {
    Element outer;
    if (const Dword error = expectElement(input, kTagSequence, outer); error != 0) {
        return error;
    }
    if (!input.empty()) {
        return CRYPT_E_ASN1_CORRUPT;
    }
    ByteSpan inner = outer.content;
    Element part;
    if (const Dword error = expectElement(inner, kTagOid, part); error != 0) {
        return error;
    }
    if (!oidText(part.content)) {
        return CRYPT_E_ASN1_CORRUPT;
    }
    if (!inner.empty()) {
        if (const Dword error = expectElement(inner, kTagContext0, part); error != 0) {
            return error;
        }
    }
    return inner.empty() ? 0 : CRYPT_E_ASN1_CORRUPT;
}

} // namespace

const CERT_CONTEXT* CertCreateCertificateContext(Dword encoding, const std::uint8_t* encoded,
                                                 Dword length) {
    const auto lock = lockCall();
    if (injectedFailure("CertCreateCertificateContext")) {
        return nullptr;
    }
    if ((encoding & X509_ASN_ENCODING) == 0) {
        fail(E_INVALIDARG);
        return nullptr;
    }
    if (encoded == nullptr && length != 0) {
        fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const ByteSpan input = length == 0 ? ByteSpan{} : ByteSpan(encoded, length);
    if (const Dword error = checkCertificate(input); error != 0) {
        fail(error);
        return nullptr;
    }
    auto certificate = std::make_unique<Certificate>();
    certificate->der.assign(input.begin(), input.end());
    certificate->context.dwCertEncodingType = encoding;
    certificate->context.pbCertEncoded = certificate->der.data();
    certificate->context.cbCertEncoded = length;
    const CERT_CONTEXT* const context = &certificate->context;
    certificates().emplace(context, std::move(certificate));
    return context;
}

Bool CertFreeCertificateContext(const CERT_CONTEXT* context) {
    const auto lock = lockCall();
    if (injectedFailure("CertFreeCertificateContext")) {
        return kFalse;
    }
    if (context == nullptr) {
        return kTrue;
    }
    return certificates().erase(context) != 0 ? kTrue : fail(ERROR_INVALID_HANDLE);
}

HCERTSTORE CertOpenStore(Dword storeProvider, Dword, HCRYPTPROV, Dword flags, const void*) {
    const auto lock = lockCall();
    if (injectedFailure("CertOpenStore")) {
        return 0;
    }
    if (storeProvider != CERT_STORE_PROV_MEMORY) {
        fail(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    if (flags != 0) {
        fail(E_INVALIDARG);
        return 0;
    }
    return stores().add(std::make_unique<Store>());
}

Bool CertCloseStore(HCERTSTORE store, Dword flags) {
    const auto lock = lockCall();
    if (injectedFailure("CertCloseStore")) {
        return kFalse;
    }
    if (stores().remove(store) == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    return flags == 0 ? kTrue : fail(E_INVALIDARG);
}

HCRYPTMSG CryptMsgOpenToDecode(Dword encoding, Dword flags, Dword, HCRYPTPROV,
                               const void* recipientInfo, const void* streamInfo) {
    const auto lock = lockCall();
    if (injectedFailure("CryptMsgOpenToDecode")) {
        return 0;
    }
    if ((encoding & PKCS_7_ASN_ENCODING) == 0 || flags != 0 || recipientInfo != nullptr ||
        streamInfo != nullptr) {
        fail(E_INVALIDARG);
        return 0;
    }
    return messages().add(std::make_unique<Message>());
}

Bool CryptMsgUpdate(HCRYPTMSG message, const std::uint8_t* data, Dword length, Bool final) {
    const auto lock = lockCall();
    if (injectedFailure("CryptMsgUpdate")) {
        return kFalse;
    }
    Message* const object = messages().find(message);
    if (object == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (data == nullptr && length != 0) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (object->finished) {
        return fail(CRYPT_E_MSG_ERROR);
    }
    if (length != 0) {
        object->der.insert(object->der.end(), data, data + length);
    }
    if (final == kFalse) {
        return kTrue;
    }
    if (const Dword error = checkContentInfo(object->der); error != 0) {
        object->der.clear();
        return fail(error);
    }
    object->finished = true;
    return kTrue;
}

Bool CryptMsgGetParam(HCRYPTMSG message, Dword param, Dword index, std::uint8_t* data,
                      Dword* length) {
    const auto lock = lockCall();
    if (injectedFailure("CryptMsgGetParam")) {
        return kFalse;
    }
    const Message* const object = messages().find(message);
    if (object == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (length == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (param != CMSG_ENCODED_MESSAGE || index != 0) {
        return fail(CRYPT_E_INVALID_MSG_TYPE);
    }
    if (!object->finished) {
        return fail(CRYPT_E_MSG_ERROR);
    }
    return putBytes(object->der, data, length);
}

Bool CryptMsgClose(HCRYPTMSG message) {
    const auto lock = lockCall();
    if (injectedFailure("CryptMsgClose")) {
        return kFalse;
    }
    if (message == 0) {
        return kTrue;
    }
    return messages().remove(message) != nullptr ? kTrue : fail(ERROR_INVALID_HANDLE);
}

} // namespace capi
