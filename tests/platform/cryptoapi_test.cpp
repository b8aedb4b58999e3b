#include "platform/cryptoapi/CryptoApi.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace capi;
using Bytes = std::vector<std::uint8_t>;

Bytes hex(std::string_view text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        out.push_back(
            static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

constexpr std::uint8_t kCanary = 0xA5;

// Checks the output rule of a call that writes expected.size() bytes: a null
// buffer asks for the size; every shorter length fails with ERROR_MORE_DATA,
// answers the size and writes nothing; the exact length and a longer one
// succeed without a byte past the output. Returns what the last call wrote.
Bytes checkOutputRule(const std::function<Bool(std::uint8_t*, Dword*)>& call,
                      std::size_t expectedSize) {
    Dword length = 0xDEAD;
    EXPECT_EQ(call(nullptr, &length), kTrue);
    EXPECT_EQ(length, expectedSize);
    for (std::size_t given = 0; given < expectedSize; ++given) {
        Bytes buffer(given + 8, kCanary);
        length = static_cast<Dword>(given);
        SetLastError(0);
        EXPECT_EQ(call(buffer.data(), &length), kFalse) << "given " << given;
        EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
        EXPECT_EQ(length, expectedSize);
        EXPECT_EQ(buffer, Bytes(given + 8, kCanary)) << "given " << given;
    }
    Bytes buffer(expectedSize + 8, kCanary);
    length = static_cast<Dword>(expectedSize + 4);
    EXPECT_EQ(call(buffer.data(), &length), kTrue);
    EXPECT_EQ(length, expectedSize);
    EXPECT_EQ(Bytes(buffer.begin() + static_cast<long>(expectedSize), buffer.end()),
              Bytes(8, kCanary));
    buffer.resize(expectedSize);
    return buffer;
}

Dword dwordOf(const Bytes& bytes) {
    EXPECT_EQ(bytes.size(), 4u);
    return bytes.size() < 4 ? 0
                            : static_cast<Dword>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 |
                                                 static_cast<Dword>(bytes[3]) << 24);
}

// A provider handle released at the end of the test.
class Provider {
public:
    Provider(const char16_t* container = nullptr, Dword flags = CRYPT_VERIFYCONTEXT,
             const char16_t* name = kEnhancedRsaAesProvider.data(), Dword type = PROV_RSA_AES) {
        ok_ = CryptAcquireContextW(&handle_, container, name, type, flags) == kTrue;
        error_ = ok_ ? 0 : GetLastError();
    }
    ~Provider() {
        if (ok_) {
            CryptReleaseContext(handle_, 0);
        }
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    bool ok() const { return ok_; }
    Dword error() const { return error_; }
    HCRYPTPROV get() const { return handle_; }

private:
    HCRYPTPROV handle_ = 0;
    bool ok_ = false;
    Dword error_ = 0;
};

class CryptoApi : public ::testing::Test {
protected:
    void TearDown() override { capi::testing::clearFailures(); }
    Provider verify_;
};

// ---- Providers -------------------------------------------------------------

TEST_F(CryptoApi, ProvidersByNameAndType) {
    struct Row {
        const char16_t* name;
        Dword type;
        Dword error; // 0: acquired
    } const rows[] = {
        {kEnhancedRsaAesProvider.data(), PROV_RSA_AES, 0},
        {kEnhancedRsaAesPrototypeProvider.data(), PROV_RSA_AES, 0},
        {kEnhancedProvider.data(), PROV_RSA_FULL, 0},
        {u"microsoft enhanced cryptographic provider v1.0", PROV_RSA_FULL, 0},
        {kEnhancedRsaAesProvider.data(), PROV_RSA_FULL, NTE_PROV_TYPE_NO_MATCH},
        {kEnhancedProvider.data(), PROV_RSA_AES, NTE_PROV_TYPE_NO_MATCH},
        {u"Microsoft Base Smart Card Crypto Provider", PROV_RSA_FULL, NTE_KEYSET_NOT_DEF},
        {u"Microsoft Enhanced RSA and AES Cryptographic Provider ", PROV_RSA_AES,
         NTE_KEYSET_NOT_DEF},
        {nullptr, PROV_RSA_AES, 0},
        {nullptr, PROV_RSA_FULL, 0},
        {nullptr, 13, NTE_PROV_TYPE_NOT_DEF},
    };
    for (const Row& row : rows) {
        HCRYPTPROV prov = 0;
        SetLastError(0);
        const Bool ok =
            CryptAcquireContextW(&prov, nullptr, row.name, row.type, CRYPT_VERIFYCONTEXT);
        if (row.error == 0) {
            ASSERT_EQ(ok, kTrue) << std::hex << GetLastError();
            EXPECT_NE(prov, 0u);
            EXPECT_EQ(CryptReleaseContext(prov, 0), kTrue);
        } else {
            EXPECT_EQ(ok, kFalse);
            EXPECT_EQ(GetLastError(), row.error);
        }
    }
}

TEST_F(CryptoApi, KeysetLifecycle) {
    const char16_t* name = u"lifecycle-test";
    HCRYPTPROV prov = 0;
    EXPECT_EQ(CryptAcquireContextW(&prov, name, nullptr, PROV_RSA_AES, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    EXPECT_EQ(CryptAcquireContextW(&prov, name, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);

    ASSERT_EQ(CryptAcquireContextW(&prov, name, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET), kTrue);
    HCRYPTPROV again = 0;
    EXPECT_EQ(CryptAcquireContextW(&again, name, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET), kFalse);
    EXPECT_EQ(GetLastError(), NTE_EXISTS);
    ASSERT_EQ(CryptAcquireContextW(&again, name, nullptr, PROV_RSA_AES, CRYPT_SILENT), kTrue);
    EXPECT_NE(again, prov);

    // The machine keyset and another provider are separate name spaces.
    HCRYPTPROV other = 0;
    EXPECT_EQ(CryptAcquireContextW(&other, name, nullptr, PROV_RSA_AES, CRYPT_MACHINE_KEYSET),
              kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    EXPECT_EQ(CryptAcquireContextW(&other, name, nullptr, PROV_RSA_FULL, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    ASSERT_EQ(CryptAcquireContextW(&other, name, nullptr, PROV_RSA_AES,
                                   CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET),
              kTrue);
    EXPECT_EQ(CryptReleaseContext(other, 0), kTrue);

    HCRYPTPROV deleted = 1;
    EXPECT_EQ(CryptAcquireContextW(&deleted, name, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET),
              kTrue);
    EXPECT_EQ(CryptAcquireContextW(&other, name, nullptr, PROV_RSA_AES, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
    // Deleting the user keyset left the machine one.
    ASSERT_EQ(CryptAcquireContextW(&other, name, nullptr, PROV_RSA_AES, CRYPT_MACHINE_KEYSET),
              kTrue);
    EXPECT_EQ(CryptReleaseContext(other, 0), kTrue);
    EXPECT_EQ(CryptReleaseContext(prov, 0), kTrue);
    EXPECT_EQ(CryptReleaseContext(again, 0), kTrue);
}

TEST_F(CryptoApi, DefaultContainerAndVerifyContext) {
    HCRYPTPROV prov = 0;
    // Verify contexts need no container, even one that does not exist.
    ASSERT_EQ(
        CryptAcquireContextW(&prov, u"never-created", nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
        kTrue);
    EXPECT_EQ(CryptReleaseContext(prov, 0), kTrue);

    HCRYPTPROV first = 0;
    if (CryptAcquireContextW(&first, nullptr, nullptr, PROV_RSA_AES, 0) == kFalse) {
        EXPECT_EQ(GetLastError(), NTE_BAD_KEYSET);
        ASSERT_EQ(CryptAcquireContextW(&first, nullptr, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET),
                  kTrue);
    }
    HCRYPTPROV second = 0;
    EXPECT_EQ(CryptAcquireContextW(&second, u"", nullptr, PROV_RSA_AES, 0), kTrue);
    EXPECT_EQ(CryptReleaseContext(second, 0), kTrue);
    EXPECT_EQ(CryptReleaseContext(first, 0), kTrue);
}

TEST_F(CryptoApi, AcquireArgumentsAndFlags) {
    HCRYPTPROV prov = 0;
    EXPECT_EQ(CryptAcquireContextW(nullptr, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
              kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    const Dword badFlags[] = {0x1, 0x100, CRYPT_NEWKEYSET | CRYPT_DELETEKEYSET,
                              CRYPT_VERIFYCONTEXT | CRYPT_DELETEKEYSET};
    for (const Dword flags : badFlags) {
        EXPECT_EQ(CryptAcquireContextW(&prov, u"x", nullptr, PROV_RSA_AES, flags), kFalse);
        EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS) << std::hex << flags;
    }
}

TEST_F(CryptoApi, ReleaseCountsReferences) {
    HCRYPTPROV prov = 0;
    ASSERT_EQ(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
              kTrue);
    ASSERT_EQ(CryptContextAddRef(prov, nullptr, 0), kTrue);
    EXPECT_EQ(CryptReleaseContext(prov, 0), kTrue);
    std::uint8_t byte = 0;
    EXPECT_EQ(CryptGenRandom(prov, 1, &byte), kTrue); // still one reference
    // Refused flags still release the reference.
    EXPECT_EQ(CryptReleaseContext(prov, 1), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    EXPECT_EQ(CryptGenRandom(prov, 1, &byte), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_UID);
    EXPECT_EQ(CryptReleaseContext(prov, 0), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(CryptoApi, SecurityDescriptorOnKeyset) {
    SECURITY_DESCRIPTOR descriptor;
    EXPECT_EQ(InitializeSecurityDescriptor(&descriptor, 2), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_REVISION);
    EXPECT_EQ(SetSecurityDescriptorDacl(&descriptor, kTrue, nullptr, kFalse), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_REVISION);
    ASSERT_EQ(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION), kTrue);
    EXPECT_EQ(descriptor.revision, SECURITY_DESCRIPTOR_REVISION);
    ASSERT_EQ(SetSecurityDescriptorDacl(&descriptor, kTrue, nullptr, kFalse), kTrue);
    EXPECT_TRUE(descriptor.daclPresent);
    EXPECT_EQ(InitializeSecurityDescriptor(nullptr, SECURITY_DESCRIPTOR_REVISION), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    const auto* raw = reinterpret_cast<const std::uint8_t*>(&descriptor);
    EXPECT_EQ(CryptSetProvParam(verify_.get(), PP_KEYSET_SEC_DESCR, raw, DACL_SECURITY_INFORMATION),
              kTrue);
    EXPECT_EQ(CryptSetProvParam(verify_.get(), PP_KEYSET_SEC_DESCR, raw, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    EXPECT_EQ(CryptSetProvParam(verify_.get(), 99, raw, DACL_SECURITY_INFORMATION), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
    EXPECT_EQ(
        CryptSetProvParam(verify_.get() + 7, PP_KEYSET_SEC_DESCR, raw, DACL_SECURITY_INFORMATION),
        kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_UID);
}

TEST_F(CryptoApi, GenRandomFillsBuffer) {
    Bytes a(64, 0), b(64, 0);
    ASSERT_EQ(CryptGenRandom(verify_.get(), 63, a.data()), kTrue);
    ASSERT_EQ(CryptGenRandom(verify_.get(), 63, b.data()), kTrue);
    EXPECT_NE(a, b);
    EXPECT_NE(Bytes(a.begin(), a.begin() + 63), Bytes(63, 0));
    EXPECT_EQ(a[63], 0); // nothing past the length
    EXPECT_EQ(CryptGenRandom(verify_.get(), 4, nullptr), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CryptoApi, SmartCardKeyStorageIsAbsent) {
    SetLastError(0);
    EXPECT_FALSE(loadSmartCardKeyStorage());
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

// ---- Errors, handles, the test seam ----------------------------------------

TEST_F(CryptoApi, LastErrorIsPerThread) {
    SetLastError(0x1234);
    Dword seenThere = 1;
    Dword failedThere = 0;
    std::thread([&] {
        seenThere = GetLastError();
        HCRYPTHASH hash = 0;
        CryptCreateHash(verify_.get(), 0x1, 0, 0, &hash);
        failedThere = GetLastError();
    }).join();
    EXPECT_EQ(seenThere, 0u);
    EXPECT_EQ(failedThere, NTE_BAD_ALGID);
    EXPECT_EQ(GetLastError(), 0x1234u);
}

TEST_F(CryptoApi, StaleAndForeignHandles) {
    HCRYPTHASH hash = 0;
    ASSERT_EQ(CryptCreateHash(verify_.get(), CALG_SHA1, 0, 0, &hash), kTrue);
    ASSERT_EQ(CryptDestroyHash(hash), kTrue);
    std::uint8_t buffer[64];
    Dword length = sizeof buffer;

    struct Row {
        const char* what;
        std::function<Bool()> call;
        Dword error;
    } const rows[] = {
        {"destroyed hash", [&] { return CryptHashData(hash, buffer, 1, 0); }, NTE_BAD_HASH},
        {"destroyed hash again", [&] { return CryptDestroyHash(hash); }, NTE_BAD_HASH},
        {"hash as provider",
         [&] {
             HCRYPTHASH h = 0;
             return CryptCreateHash(hash, CALG_SHA1, 0, 0, &h);
         },
         NTE_BAD_UID},
        {"provider as hash",
         [&] { return CryptGetHashParam(verify_.get(), HP_HASHVAL, buffer, &length, 0); },
         NTE_BAD_HASH},
        {"provider as key", [&] { return CryptDestroyKey(verify_.get()); }, NTE_BAD_KEY},
        {"hash as key", [&] { return CryptGetKeyParam(hash, KP_ALGID, buffer, &length, 0); },
         NTE_BAD_KEY},
        {"zero key", [&] { return CryptSetKeyParam(0, KP_IV, buffer, 0); }, NTE_BAD_KEY},
        {"all-ones key",
         [&] { return CryptEncrypt(~HCRYPTKEY{0}, 0, kTrue, 0, buffer, &length, 64); },
         NTE_BAD_KEY},
        {"small number key", [&] { return CryptDecrypt(3, 0, kTrue, 0, buffer, &length); },
         NTE_BAD_KEY},
        {"zero key export", [&] { return CryptExportKey(0, 0, PUBLICKEYBLOB, 0, buffer, &length); },
         NTE_BAD_KEY},
        {"zero provider random", [&] { return CryptGenRandom(0, 1, buffer); }, NTE_BAD_UID},
        {"zero provider user key",
         [&] {
             HCRYPTKEY k = 0;
             return CryptGetUserKey(0, AT_KEYEXCHANGE, &k);
         },
         NTE_BAD_UID},
        {"zero provider import",
         [&] {
             HCRYPTKEY k = 0;
             return CryptImportKey(0, buffer, 8, 0, 0, &k);
         },
         NTE_BAD_UID},
        {"zero provider gen key",
         [&] {
             HCRYPTKEY k = 0;
             return CryptGenKey(0, CALG_AES_128, 0, &k);
         },
         NTE_BAD_UID},
        {"zero provider release", [&] { return CryptReleaseContext(0, 0); }, ERROR_INVALID_HANDLE},
    };
    for (const Row& row : rows) {
        SetLastError(0);
        EXPECT_EQ(row.call(), kFalse) << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
    }
}

TEST_F(CryptoApi, InjectedFailureChangesNothing) {
    HCRYPTHASH hash = 0;
    ASSERT_EQ(CryptCreateHash(verify_.get(), CALG_MD5, 0, 0, &hash), kTrue);
    capi::testing::failNextCall("CryptHashData", NTE_FAIL);
    capi::testing::failNextCall("CryptHashData", NTE_NO_MEMORY);
    capi::testing::failNextCall("CryptGetHashParam", NTE_BAD_LEN);
    const Bytes data = bytesOf("abc");
    EXPECT_EQ(CryptHashData(hash, data.data(), 3, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_FAIL);
    EXPECT_EQ(CryptHashData(hash, data.data(), 3, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_NO_MEMORY);

    Bytes value(16, kCanary);
    Dword length = 16;
    EXPECT_EQ(CryptGetHashParam(hash, HP_HASHVAL, value.data(), &length, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_LEN);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(value, Bytes(16, kCanary));

    // The failed calls hashed nothing: this is MD5("abc").
    ASSERT_EQ(CryptHashData(hash, data.data(), 3, 0), kTrue);
    ASSERT_EQ(CryptGetHashParam(hash, HP_HASHVAL, value.data(), &length, 0), kTrue);
    EXPECT_EQ(value, hex("900150983cd24fb0d6963f7d28e17f72"));

    HCRYPTPROV prov = 0x77;
    capi::testing::failNextCall("CryptAcquireContextW", NTE_PERM);
    EXPECT_EQ(CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
              kFalse);
    EXPECT_EQ(GetLastError(), NTE_PERM);
    EXPECT_EQ(prov, 0x77u);

    capi::testing::failNextCall("CryptDestroyHash", NTE_FAIL);
    capi::testing::clearFailures();
    EXPECT_EQ(CryptDestroyHash(hash), kTrue);
}

TEST_F(CryptoApi, ConcurrentCallsKeepTablesConsistent) {
    const Bytes data = bytesOf("abc");
    std::vector<std::thread> threads;
    std::vector<int> good(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                HCRYPTPROV prov = 0;
                HCRYPTHASH hash = 0;
                Bytes value(20);
                Dword length = 20;
                if (CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES,
                                         CRYPT_VERIFYCONTEXT) == kTrue &&
                    CryptCreateHash(prov, CALG_SHA1, 0, 0, &hash) == kTrue &&
                    CryptHashData(hash, data.data(), 3, 0) == kTrue &&
                    CryptGetHashParam(hash, HP_HASHVAL, value.data(), &length, 0) == kTrue &&
                    value == hex("a9993e364706816aba3e25717850c26c9cd0d89d") &&
                    CryptDestroyHash(hash) == kTrue && CryptReleaseContext(prov, 0) == kTrue) {
                    ++good[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(good, std::vector<int>(4, 200));
}

// ---- Hashes ----------------------------------------------------------------

Bytes hashOf(HCRYPTPROV prov, AlgId algorithm, const Bytes& message, std::size_t chunk) {
    HCRYPTHASH hash = 0;
    EXPECT_EQ(CryptCreateHash(prov, algorithm, 0, 0, &hash), kTrue);
    for (std::size_t at = 0; at < message.size(); at += chunk) {
        const std::size_t n = std::min(chunk, message.size() - at);
        EXPECT_EQ(CryptHashData(hash, message.data() + at, static_cast<Dword>(n), 0), kTrue);
    }
    Bytes value(64);
    Dword length = 64;
    EXPECT_EQ(CryptGetHashParam(hash, HP_HASHVAL, value.data(), &length, 0), kTrue);
    value.resize(length);
    CryptDestroyHash(hash);
    return value;
}

TEST_F(CryptoApi, HashKnownAnswers) {
    const std::string twoBlock = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    const std::string twoBlock1024 =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
        "nopqrsmnopqrstnopqrstu";
    struct Row {
        AlgId algorithm;
        std::string message;
        const char* digest;
    } const rows[] = {
        {CALG_MD5, "", "d41d8cd98f00b204e9800998ecf8427e"},
        {CALG_MD5, "a", "0cc175b9c0f1b6a831c399e269772661"},
        {CALG_MD5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
        {CALG_MD5, "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {CALG_MD5, "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {CALG_MD5, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {CALG_MD5,
         "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
        {CALG_SHA1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {CALG_SHA1, twoBlock, "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {CALG_SHA1, std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {CALG_SHA_256, "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {CALG_SHA_256, twoBlock,
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {CALG_SHA_384, "abc",
         "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed8086072ba1e7cc2358baeca1"
         "34c825a7"},
        {CALG_SHA_384, twoBlock1024,
         "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712fcc7c71a557e2db966c3e9fa"
         "91746039"},
        {CALG_SHA_512, "abc",
         "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c23"
         "a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
        {CALG_SHA_512, twoBlock1024,
         "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99de"
         "c4b5433ac7d329eeb6dd26545e96e55b874be909"},
    };
    for (const Row& row : rows) {
        const Bytes message = bytesOf(row.message);
        // One call, and pieces that do not line up with the block.
        for (const std::size_t chunk : {message.size() + 1, std::size_t{7}, std::size_t{1000}}) {
            if (chunk == 7 && message.size() > 1000) {
                continue;
            }
            EXPECT_EQ(hashOf(verify_.get(), row.algorithm, message, chunk), hex(row.digest))
                << std::hex << row.algorithm << " " << row.message.substr(0, 20) << " chunk "
                << std::dec << chunk;
        }
    }
}

TEST_F(CryptoApi, HashParamsFollowOutputRule) {
    struct Row {
        AlgId algorithm;
        Dword size;
    } const rows[] = {{CALG_MD5, 16},
                      {CALG_SHA1, 20},
                      {CALG_SHA_256, 32},
                      {CALG_SHA_384, 48},
                      {CALG_SHA_512, 64}};
    for (const Row& row : rows) {
        HCRYPTHASH hash = 0;
        ASSERT_EQ(CryptCreateHash(verify_.get(), row.algorithm, 0, 0, &hash), kTrue);
        EXPECT_EQ(dwordOf(checkOutputRule(
                      [&](std::uint8_t* d, Dword* l) {
                          return CryptGetHashParam(hash, HP_ALGID, d, l, 0);
                      },
                      4)),
                  row.algorithm);
        EXPECT_EQ(dwordOf(checkOutputRule(
                      [&](std::uint8_t* d, Dword* l) {
                          return CryptGetHashParam(hash, HP_HASHSIZE, d, l, 0);
                      },
                      4)),
                  row.size);
        // Neither the size query nor a short buffer finished the hash.
        const Bytes data = bytesOf("abc");
        ASSERT_EQ(CryptHashData(hash, data.data(), 3, 0), kTrue);
        const Bytes value = checkOutputRule(
            [&](std::uint8_t* d, Dword* l) { return CryptGetHashParam(hash, HP_HASHVAL, d, l, 0); },
            row.size);
        EXPECT_EQ(value, hashOf(verify_.get(), row.algorithm, data, 3));
        EXPECT_EQ(CryptDestroyHash(hash), kTrue);
    }
}

TEST_F(CryptoApi, HashValueFinishesTheHash) {
    HCRYPTHASH hash = 0;
    ASSERT_EQ(CryptCreateHash(verify_.get(), CALG_SHA_256, 0, 0, &hash), kTrue);
    const Bytes data = bytesOf("abc");
    ASSERT_EQ(CryptHashData(hash, data.data(), 3, 0), kTrue);
    Bytes first(32), second(32);
    Dword length = 32;
    ASSERT_EQ(CryptGetHashParam(hash, HP_HASHVAL, first.data(), &length, 0), kTrue);
    EXPECT_EQ(CryptHashData(hash, data.data(), 3, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
    ASSERT_EQ(CryptGetHashParam(hash, HP_HASHVAL, second.data(), &length, 0), kTrue);
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_EQ(CryptDestroyHash(hash), kTrue);
}

TEST_F(CryptoApi, HashArgumentErrors) {
    HCRYPTHASH hash = 0;
    const AlgId unknown[] = {0, CALG_AES_128, CALG_RSA_SIGN, 0x8001 /* MD2 */};
    for (const AlgId algorithm : unknown) {
        EXPECT_EQ(CryptCreateHash(verify_.get(), algorithm, 0, 0, &hash), kFalse);
        EXPECT_EQ(GetLastError(), NTE_BAD_ALGID) << std::hex << algorithm;
    }
    EXPECT_EQ(CryptCreateHash(verify_.get(), CALG_SHA1, 0, 1, &hash), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    EXPECT_EQ(CryptCreateHash(verify_.get(), CALG_SHA1, 0, 0, nullptr), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_EQ(CryptCreateHash(verify_.get(), CALG_SHA1, 0, 0, &hash), kTrue);
    EXPECT_EQ(CryptHashData(hash, nullptr, 1, 0), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CryptHashData(hash, nullptr, 0, 0), kTrue);
    Dword length = 0;
    EXPECT_EQ(CryptGetHashParam(hash, 3, nullptr, &length, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
    EXPECT_EQ(CryptGetHashParam(hash, HP_HASHVAL, nullptr, nullptr, 0), kFalse);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CryptDestroyHash(hash), kTrue);
}

} // namespace
