// Signing with a smart-card key through the key storage module, played by
// a table of fake functions that hash with nettle and sign with a real RSA
// key, so that what they sign verifies with the library's own verification.

#include "control/crypto/QxCAPICipher.h"
#include "control/crypto/QxXCAPI.h"
#include "tests/control/crypto/AsymTestSupport.h"

#include <gtest/gtest.h>
#include <nettle/nettle-meta.h>
#include <nettle/sha2.h>

#include <set>

namespace {

using namespace asymtest;
using capi::Dword;

constexpr capi::NTSTATUS kNotFound = static_cast<capi::NTSTATUS>(0xC0000225);
constexpr capi::NTSTATUS kBufferTooSmall = static_cast<capi::NTSTATUS>(0xC0000023);
constexpr capi::NTSTATUS kInvalidParameter = static_cast<capi::NTSTATUS>(0xC000000D);
constexpr capi::NCRYPT_KEY_HANDLE kCardKey = 0xC0FFEE;

struct FakeAlgorithm {
    const nettle_hash* method;
    Bytes prefix;
};

struct FakeHash {
    const nettle_hash* method;
    Bytes context;
};

// What the fakes saw and what they are to refuse.
struct Fake {
    std::vector<std::string> calls;
    std::map<std::string, capi::NTSTATUS> refuse;
    std::u16string property;
    Bytes propertyValue;
    std::vector<capi::NCRYPT_HANDLE> freed;
    int openAlgorithms = 0;
    int openHashes = 0;
    const NettleKey* key = nullptr;

    // Records the call; its refusal, or 0.
    capi::NTSTATUS enter(const char* name) {
        calls.emplace_back(name);
        const auto found = refuse.find(name);
        return found == refuse.end() ? 0 : found->second;
    }
    bool called(const std::string& name) const {
        return std::find(calls.begin(), calls.end(), name) != calls.end();
    }
};
Fake* fake = nullptr;

const FakeAlgorithm* algorithmNamed(std::u16string_view name) {
    static const FakeAlgorithm md5{&nettle_md5, hex("3020300c06082a864886f70d020505000410")};
    static const FakeAlgorithm sha1{&nettle_sha1, hex("3021300906052b0e03021a05000414")};
    static const FakeAlgorithm sha256{&nettle_sha256,
                                      hex("3031300d060960864801650304020105000420")};
    static const FakeAlgorithm sha384{&nettle_sha384,
                                      hex("3041300d060960864801650304020205000430")};
    static const FakeAlgorithm sha512{&nettle_sha512,
                                      hex("3051300d060960864801650304020305000440")};
    return name == u"MD5"      ? &md5
           : name == u"SHA1"   ? &sha1
           : name == u"SHA256" ? &sha256
           : name == u"SHA384" ? &sha384
           : name == u"SHA512" ? &sha512
                               : nullptr;
}

capi::NTSTATUS openAlgorithm(capi::BCRYPT_ALG_HANDLE* algorithm, const char16_t* id,
                             const char16_t* implementation, Dword flags) {
    if (const auto status = fake->enter("BCryptOpenAlgorithmProvider")) {
        return status;
    }
    const FakeAlgorithm* found = id != nullptr ? algorithmNamed(id) : nullptr;
    if (found == nullptr || implementation != nullptr || flags != 0) {
        return kNotFound;
    }
    *algorithm = const_cast<FakeAlgorithm*>(found);
    ++fake->openAlgorithms;
    return 0;
}

capi::NTSTATUS closeAlgorithm(capi::BCRYPT_ALG_HANDLE, Dword) {
    fake->enter("BCryptCloseAlgorithmProvider");
    --fake->openAlgorithms;
    return 0;
}

capi::NTSTATUS getProperty(capi::BCRYPT_HANDLE object, const char16_t* property,
                           std::uint8_t* output, Dword length, Dword* result, Dword) {
    if (const auto status = fake->enter("BCryptGetProperty")) {
        return status;
    }
    if (std::u16string_view(property) != u"HashDigestLength" || length < 4) {
        return kInvalidParameter;
    }
    const auto size = static_cast<Dword>(static_cast<FakeAlgorithm*>(object)->method->digest_size);
    for (int i = 0; i < 4; ++i) {
        output[i] = static_cast<std::uint8_t>(size >> (8 * i));
    }
    *result = 4;
    return 0;
}

capi::SECURITY_STATUS setProperty(capi::NCRYPT_HANDLE object, const char16_t* property,
                                  const std::uint8_t* input, Dword length, Dword flags) {
    if (const auto status = fake->enter("NCryptSetProperty")) {
        return status;
    }
    EXPECT_EQ(object, kCardKey);
    EXPECT_EQ(flags, 0u);
    fake->property = property;
    fake->propertyValue.assign(input, input + length);
    return 0;
}

capi::NTSTATUS createHash(capi::BCRYPT_ALG_HANDLE algorithm, capi::BCRYPT_HASH_HANDLE* hash,
                          std::uint8_t*, Dword, const std::uint8_t*, Dword, Dword) {
    if (const auto status = fake->enter("BCryptCreateHash")) {
        return status;
    }
    auto* made = new FakeHash{static_cast<FakeAlgorithm*>(algorithm)->method, {}};
    made->context.resize(made->method->context_size);
    made->method->init(made->context.data());
    *hash = made;
    ++fake->openHashes;
    return 0;
}

capi::NTSTATUS destroyHash(capi::BCRYPT_HASH_HANDLE hash) {
    fake->enter("BCryptDestroyHash");
    delete static_cast<FakeHash*>(hash);
    --fake->openHashes;
    return 0;
}

capi::NTSTATUS hashData(capi::BCRYPT_HASH_HANDLE hash, const std::uint8_t* input, Dword length,
                        Dword) {
    if (const auto status = fake->enter("BCryptHashData")) {
        return status;
    }
    auto* object = static_cast<FakeHash*>(hash);
    object->method->update(object->context.data(), length, input);
    return 0;
}

capi::NTSTATUS finishHash(capi::BCRYPT_HASH_HANDLE hash, std::uint8_t* output, Dword length,
                          Dword) {
    if (const auto status = fake->enter("BCryptFinishHash")) {
        return status;
    }
    auto* object = static_cast<FakeHash*>(hash);
    if (length != object->method->digest_size) {
        return kInvalidParameter;
    }
    object->method->digest(object->context.data(), length, output);
    return 0;
}

capi::SECURITY_STATUS signHash(capi::NCRYPT_KEY_HANDLE key, const void* paddingInfo,
                               const std::uint8_t* hashValue, Dword hashLength,
                               std::uint8_t* signature, Dword signatureLength, Dword* result,
                               Dword flags) {
    if (const auto status = fake->enter("NCryptSignHash")) {
        return status;
    }
    const auto* padding = static_cast<const capi::BCRYPT_PKCS1_PADDING_INFO*>(paddingInfo);
    const FakeAlgorithm* algorithm = algorithmNamed(padding->pszAlgId);
    if (key != kCardKey || flags != capi::BCRYPT_PAD_PKCS1 || algorithm == nullptr ||
        hashLength != algorithm->method->digest_size) {
        return kInvalidParameter;
    }
    const auto size = static_cast<Dword>(fake->key->pub()->size);
    *result = size;
    if (signature == nullptr) {
        return 0;
    }
    if (signatureLength < size) {
        return kBufferTooSmall;
    }
    const Bytes info = cat({algorithm->prefix, Bytes(hashValue, hashValue + hashLength)});
    mpz_t s;
    mpz_init(s);
    EXPECT_NE(rsa_pkcs1_sign(fake->key->priv(), info.size(), info.data(), s), 0);
    const Bytes value = bytesOf(s);
    mpz_clear(s);
    std::fill(signature, signature + size, 0);
    std::copy(value.begin(), value.end(), signature + (size - value.size()));
    return 0;
}

capi::SECURITY_STATUS freeObject(capi::NCRYPT_HANDLE object) {
    fake->enter("NCryptFreeObject");
    fake->freed.push_back(object);
    return 0;
}

template <class F>
capi::FARPROC proc(F function) {
    return reinterpret_cast<capi::FARPROC>(function);
}

std::map<std::string, capi::FARPROC, std::less<>> allFunctions() {
    return {
        {"BCryptOpenAlgorithmProvider", proc(&openAlgorithm)},
        {"BCryptCloseAlgorithmProvider", proc(&closeAlgorithm)},
        {"BCryptGetProperty", proc(&getProperty)},
        {"NCryptSetProperty", proc(&setProperty)},
        {"BCryptCreateHash", proc(&createHash)},
        {"BCryptDestroyHash", proc(&destroyHash)},
        {"BCryptHashData", proc(&hashData)},
        {"BCryptFinishHash", proc(&finishHash)},
        {"NCryptSignHash", proc(&signHash)},
        {"NCryptFreeObject", proc(&freeObject)},
    };
}

class QxCng : public ::testing::Test {
protected:
    void SetUp() override {
        capi::testing::clearFailures();
        Log_ResetForTest();
        const auto ini =
            box_.write("Tavelo.ini", "[Tavelo]\nLog File=" + (box_.root() / "cng.log").string() +
                                         "\nLog Level=5\n");
        ASSERT_EQ(Log_Init("Tavelo", ini.c_str()), 0);
        fake = &state_;
        state_.key = &nettle_;
        capi::testing::installSmartCardKeyStorage(allFunctions());
        ASSERT_EQ(decodePublic(numbers().publicDer(), publicKey_), kQxOk);
        auto* object = static_cast<QxCAPIKey*>(qxxCAPIMalloc(sizeof(QxCAPIKey)));
        object->provider = kCardKey;
        object->keySpec = kQxKeySpecCng;
        QxCAPIHandle* raw = nullptr;
        ASSERT_EQ(qxxCAPICreateHandle(&raw, kQxHandlePrivateKey, object,
                                      qxxCAPI_ASN1_PrivateKeyMethod(),
                                      reinterpret_cast<std::uintptr_t>(qxxCAPIPrivateKeyMethods())),
                  kQxOk);
        cardKey_.reset(raw);
    }
    void TearDown() override {
        cardKey_.reset();
        publicKey_.reset();
        capi::testing::removeSmartCardKeyStorage();
        fake = nullptr;
        Log_ResetForTest();
    }

    static const RsaNumbers& numbers() {
        static const RsaNumbers key = SeededKeys(29).next(1024);
        return key;
    }

    int sign(const Bytes& data, QxCryptFlags flags, Bytes& signature, const char* pin = nullptr) {
        QxBlob out{0, nullptr};
        const int rc = QxXCAPI_PureSign(cardKey_.get(), data.data(),
                                        static_cast<std::uint32_t>(data.size()), pin, flags, &out);
        signature.assign(out.pbData, out.pbData + out.cbData);
        qxxCAPIFree(out.pbData);
        return rc;
    }
    int verify(const Bytes& signature, const Bytes& message, QxCryptFlags hash) {
        return QxXCAPI_PureVerify(
            publicKey_.get(), signature.data(), static_cast<std::uint32_t>(signature.size()),
            message.data(), static_cast<std::uint32_t>(message.size()), kQxSignHashHere | hash);
    }
    // Everything the signing opened is closed again.
    void expectBalanced() {
        EXPECT_EQ(state_.openAlgorithms, 0);
        EXPECT_EQ(state_.openHashes, 0);
        EXPECT_EQ(capi::testing::smartCardKeyStorageLoads(), 0u);
    }
    std::string logText() const { return testing_support::Sandbox::read(Log_FileName()); }

    testing_support::Sandbox box_;
    Fake state_;
    NettleKey nettle_{numbers()};
    Handle publicKey_;
    Handle cardKey_;
};

TEST_F(QxCng, TheCardSignsWhatTheLibraryVerifies) {
    const Bytes message = symtest::bytesOf("paid by card");
    for (const QxCryptFlags hash :
         {kQxHashSha1, kQxHashMd5, kQxHashSha1Alt, kQxHashSha256, kQxHashSha384, kQxHashSha512}) {
        SCOPED_TRACE(hash);
        state_.calls.clear();
        Bytes signature;
        ASSERT_EQ(sign(message, kQxSignHashHere | hash, signature, "4321"), kQxOk);
        EXPECT_EQ(signature.size(), 128u);
        EXPECT_EQ(verify(signature, message, hash), kQxOk) << "stored big-endian as it came";
        EXPECT_EQ(state_.property, u"SmartCardPin");
        EXPECT_EQ(state_.propertyValue, symtest::bytesOf("4321")) << "no terminator";
        EXPECT_TRUE(state_.called("BCryptHashData"));
        expectBalanced();
        EXPECT_EQ(capi::GetLastError(), capi::NTE_FAIL) << "no platform error met";
    }
    // No PIN, or an empty one: none is set.
    state_.calls.clear();
    Bytes signature;
    ASSERT_EQ(sign(message, kQxSignHashHere, signature, ""), kQxOk);
    EXPECT_FALSE(state_.called("NCryptSetProperty"));
}

TEST_F(QxCng, ADigestIsSignedAsItIs) {
    const Bytes message = symtest::bytesOf("already hashed");
    Bytes fromMessage;
    ASSERT_EQ(sign(message, kQxSignHashHere | kQxHashSha256, fromMessage), kQxOk);

    state_.calls.clear();
    Bytes digest(32);
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, message.size(), message.data());
    sha256_digest(&ctx, digest.size(), digest.data());
    Bytes fromDigest;
    ASSERT_EQ(sign(digest, kQxHashSha256, fromDigest), kQxOk);
    EXPECT_EQ(fromDigest, fromMessage);
    EXPECT_FALSE(state_.called("BCryptCreateHash")) << "the digest is not hashed again";

    state_.calls.clear();
    EXPECT_EQ(sign(Bytes(31, 1), kQxHashSha256, fromDigest), kQxBadArgument);
    EXPECT_TRUE(fromDigest.empty());
    EXPECT_FALSE(state_.called("NCryptSignHash"));
    expectBalanced();
    EXPECT_EQ(sign(digest, 3, fromDigest), kQxBadArgument);
}

TEST_F(QxCng, EveryFunctionIsFoundBeforeAnyIsCalled) {
    for (const auto& [name, function] : allFunctions()) {
        SCOPED_TRACE(name);
        auto table = allFunctions();
        table.erase(name);
        capi::testing::installSmartCardKeyStorage(table);
        state_.calls.clear();
        Bytes signature;
        EXPECT_EQ(sign(symtest::bytesOf("m"), kQxSignHashHere, signature, "1234"), kQxFailed);
        EXPECT_TRUE(signature.empty());
        EXPECT_TRUE(state_.calls.empty()) << "called " << state_.calls.front();
        EXPECT_EQ(capi::GetLastError(), capi::ERROR_PROC_NOT_FOUND);
        expectBalanced();
    }
    capi::testing::removeSmartCardKeyStorage();
    Bytes signature;
    EXPECT_EQ(sign(symtest::bytesOf("m"), kQxSignHashHere, signature), kQxFailed);
    EXPECT_EQ(capi::GetLastError(), capi::ERROR_MOD_NOT_FOUND);
    EXPECT_NE(logText().find("LoadLibrary"), std::string::npos);
}

TEST_F(QxCng, ARefusedCallEndsTheSigningAndClosesWhatWasOpened) {
    const char* const refusable[] = {"BCryptOpenAlgorithmProvider",
                                     "BCryptGetProperty",
                                     "BCryptCreateHash",
                                     "BCryptHashData",
                                     "BCryptFinishHash",
                                     "NCryptSignHash"};
    capi::NTSTATUS status = static_cast<capi::NTSTATUS>(0xC0000100);
    for (const char* name : refusable) {
        SCOPED_TRACE(name);
        state_.refuse = {{name, ++status}};
        Bytes signature;
        EXPECT_EQ(sign(symtest::bytesOf("m"), kQxSignHashHere, signature), kQxFailed);
        EXPECT_TRUE(signature.empty());
        EXPECT_EQ(capi::GetLastError(), static_cast<Dword>(status));
        expectBalanced();
        EXPECT_NE(logText().find(std::string(name) + ":"), std::string::npos);
    }
    // A PIN the card does not take: logged, and signing goes on.
    state_.refuse = {{"NCryptSetProperty", kInvalidParameter}};
    Bytes signature;
    EXPECT_EQ(sign(symtest::bytesOf("m"), kQxSignHashHere, signature, "1234"), kQxOk);
    EXPECT_EQ(verify(signature, symtest::bytesOf("m"), kQxHashSha1), kQxOk);
    EXPECT_EQ(capi::GetLastError(), static_cast<Dword>(kInvalidParameter));
}

TEST_F(QxCng, SignatureIntoTheCallersBuffer) {
    Bytes buffer(130, 0xEE);
    QxBlob out{127, buffer.data()};
    const Bytes message = symtest::bytesOf("m");
    EXPECT_EQ(QxXCAPI_PureSign(cardKey_.get(), message.data(), 1, nullptr, kQxSignHashHere, &out),
              kQxBufferTooSmall);
    EXPECT_EQ(out.cbData, 128u);
    EXPECT_EQ(buffer, Bytes(130, 0xEE));
    out.cbData = 130;
    ASSERT_EQ(QxXCAPI_PureSign(cardKey_.get(), message.data(), 1, nullptr, kQxSignHashHere, &out),
              kQxOk);
    EXPECT_EQ(out.cbData, 128u);
    EXPECT_EQ(verify(Bytes(buffer.begin(), buffer.begin() + 128), message, kQxHashSha1), kQxOk);
    expectBalanced();
}

TEST_F(QxCng, ThePinNeverReachesTheLog) {
    const char* pin = "97531864";
    state_.refuse = {{"NCryptSetProperty", kInvalidParameter}};
    Bytes signature;
    EXPECT_EQ(sign(symtest::bytesOf("m"), kQxSignHashHere, signature, pin), kQxOk);
    // The CryptoAPI PIN call on a card key fails and is traced.
    EXPECT_EQ(QxXCAPI_SetPrivateKeyPin(cardKey_.get(), pin, 0), kQxFailed);
    const std::string log = logText();
    EXPECT_NE(log.find("NCryptSetProperty"), std::string::npos);
    EXPECT_NE(log.find("sPin ="), std::string::npos);
    EXPECT_EQ(log.find(pin), std::string::npos);
    EXPECT_EQ(log.find("9753"), std::string::npos);
}

TEST_F(QxCng, ReleasingACardKeyFreesItsHandle) {
    cardKey_.reset();
    EXPECT_EQ(state_.freed, std::vector<capi::NCRYPT_HANDLE>{kCardKey});
    EXPECT_EQ(capi::testing::smartCardKeyStorageLoads(), 0u);

    // A borrowed key is left alone.
    auto* object = static_cast<QxCAPIKey*>(qxxCAPIMalloc(sizeof(QxCAPIKey)));
    object->provider = kCardKey;
    object->keySpec = kQxKeySpecCng;
    object->borrowed = 1;
    QxCAPIHandle* raw = nullptr;
    ASSERT_EQ(
        qxxCAPICreateHandle(&raw, kQxHandlePrivateKey, object, qxxCAPI_ASN1_PrivateKeyMethod(), 0),
        kQxOk);
    qxxCAPIFreeHandle(raw);
    EXPECT_EQ(state_.freed.size(), 1u);
}

} // namespace
