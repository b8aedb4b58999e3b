#include "platform/cryptoapi/CryptoApi.h"

#include <gmp.h>
#include <gtest/gtest.h>
#include <nettle/aes.h>
#include <nettle/arcfour.h>
#include <nettle/cbc.h>
#include <nettle/des.h>

#include <algorithm>
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

// ---- Symmetric keys --------------------------------------------------------

void appendLe32(Bytes& out, Dword value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

Bytes blobHeader(std::uint8_t type, AlgId algorithm) {
    Bytes out{type, CUR_BLOB_VERSION, 0, 0};
    appendLe32(out, algorithm);
    return out;
}

void appendLe(Bytes& out, mpz_srcptr value, std::size_t width) {
    Bytes bytes(width + 8, 0);
    std::size_t count = 0;
    mpz_export(bytes.data(), &count, -1, 1, 0, 0, value);
    EXPECT_LE(count, width);
    out.insert(out.end(), bytes.begin(), bytes.begin() + static_cast<long>(width));
}

// A 512-bit PRIVATEKEYBLOB whose public and private exponents are both 1, as
// the callers' fixed exchange key: its "encryption" is the identity, so a
// SIMPLEBLOB body is the padded block reversed. The primes are fixed, found
// from 1.5 * 2^255 so that the modulus has all 512 bits.
Bytes identityExchangeBlob(AlgId algorithm = CALG_RSA_KEYX) {
    mpz_t p, q, n, one, qinv;
    mpz_inits(p, q, n, one, qinv, nullptr);
    mpz_ui_pow_ui(p, 2, 254);
    mpz_mul_ui(p, p, 3);
    mpz_set(q, p);
    mpz_setbit(q, 200);
    mpz_nextprime(p, p);
    mpz_nextprime(q, q);
    mpz_mul(n, p, q);
    EXPECT_EQ(mpz_sizeinbase(n, 2), 512u);
    mpz_set_ui(one, 1);
    mpz_invert(qinv, q, p);
    Bytes blob = blobHeader(PRIVATEKEYBLOB, algorithm);
    appendLe32(blob, 0x32415352);
    appendLe32(blob, 512);
    appendLe32(blob, 1);
    appendLe(blob, n, 64);
    for (mpz_srcptr part : {p, q, one, one, qinv}) {
        appendLe(blob, part, 32);
    }
    appendLe(blob, one, 64);
    mpz_clears(p, q, n, one, qinv, nullptr);
    return blob;
}

// The PKCS #1 type 2 block of a key for a 64-byte modulus.
Bytes paddedBlock(const Bytes& key) {
    Bytes block{0, 2};
    for (std::size_t i = 0; i < 64 - 3 - key.size(); ++i) {
        block.push_back(static_cast<std::uint8_t>(i % 255 + 1));
    }
    block.push_back(0);
    block.insert(block.end(), key.begin(), key.end());
    return block;
}

// A SIMPLEBLOB for the identity exchange key carrying this block.
Bytes simpleBlobOfBlock(AlgId algorithm, Bytes block, AlgId exchange = CALG_RSA_KEYX) {
    Bytes blob = blobHeader(SIMPLEBLOB, algorithm);
    appendLe32(blob, exchange);
    std::reverse(block.begin(), block.end());
    blob.insert(blob.end(), block.begin(), block.end());
    return blob;
}

Dword keyParam(HCRYPTKEY key, Dword param) {
    Bytes value(4);
    Dword length = 4;
    EXPECT_EQ(CryptGetKeyParam(key, param, value.data(), &length, 0), kTrue);
    return dwordOf(value);
}

void setMode(HCRYPTKEY key, Dword mode) {
    Bytes value;
    appendLe32(value, mode);
    EXPECT_EQ(CryptSetKeyParam(key, KP_MODE, value.data(), 0), kTrue);
}

Bytes encrypt(HCRYPTKEY key, Bytes data, bool final) {
    Dword length = static_cast<Dword>(data.size());
    data.resize(data.size() + 32);
    EXPECT_EQ(CryptEncrypt(key, 0, final ? kTrue : kFalse, 0, data.data(), &length,
                           static_cast<Dword>(data.size())),
              kTrue)
        << std::hex << GetLastError();
    data.resize(length);
    return data;
}

Bytes decrypt(HCRYPTKEY key, Bytes data, bool final) {
    Dword length = static_cast<Dword>(data.size());
    EXPECT_EQ(CryptDecrypt(key, 0, final ? kTrue : kFalse, 0, data.data(), &length), kTrue)
        << std::hex << GetLastError();
    data.resize(length);
    return data;
}

// The same encryption done with nettle directly: PKCS #5 padding, then CBC
// or ECB (the stream cipher needs neither).
Bytes nettleEncrypt(AlgId algorithm, const Bytes& key, Dword mode, Bytes iv, Bytes data) {
    union {
        des_ctx des;
        des3_ctx des3;
        aes128_ctx aes128;
        aes192_ctx aes192;
        aes256_ctx aes256;
        arcfour_ctx rc4;
    } ctx;
    nettle_cipher_func* f = nullptr;
    std::size_t block = 16;
    Bytes full = key;
    switch (algorithm) {
    case CALG_RC4:
        arcfour_set_key(&ctx.rc4, key.size(), key.data());
        arcfour_crypt(&ctx.rc4, data.size(), data.data(), data.data());
        return data;
    case CALG_DES:
        des_set_key(&ctx.des, key.data());
        f = [](const void* c, std::size_t n, std::uint8_t* d, const std::uint8_t* s) {
            des_encrypt(static_cast<const des_ctx*>(c), n, d, s);
        };
        block = 8;
        break;
    case CALG_3DES_112:
        full.insert(full.end(), key.begin(), key.begin() + 8);
        [[fallthrough]];
    case CALG_3DES:
        des3_set_key(&ctx.des3, full.data());
        f = [](const void* c, std::size_t n, std::uint8_t* d, const std::uint8_t* s) {
            des3_encrypt(static_cast<const des3_ctx*>(c), n, d, s);
        };
        block = 8;
        break;
    case CALG_AES_128:
        aes128_set_encrypt_key(&ctx.aes128, key.data());
        f = [](const void* c, std::size_t n, std::uint8_t* d, const std::uint8_t* s) {
            aes128_encrypt(static_cast<const aes128_ctx*>(c), n, d, s);
        };
        break;
    case CALG_AES_192:
        aes192_set_encrypt_key(&ctx.aes192, key.data());
        f = [](const void* c, std::size_t n, std::uint8_t* d, const std::uint8_t* s) {
            aes192_encrypt(static_cast<const aes192_ctx*>(c), n, d, s);
        };
        break;
    default:
        aes256_set_encrypt_key(&ctx.aes256, key.data());
        f = [](const void* c, std::size_t n, std::uint8_t* d, const std::uint8_t* s) {
            aes256_encrypt(static_cast<const aes256_ctx*>(c), n, d, s);
        };
        break;
    }
    const std::size_t pad = block - data.size() % block;
    data.insert(data.end(), pad, static_cast<std::uint8_t>(pad));
    if (mode == CRYPT_MODE_ECB) {
        f(&ctx, data.size(), data.data(), data.data());
    } else {
        iv.resize(block);
        cbc_encrypt(&ctx, f, block, iv.data(), data.size(), data.data(), data.data());
    }
    return data;
}

Bytes patternBytes(std::size_t length, std::uint8_t seed) {
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i) {
        out[i] = static_cast<std::uint8_t>(seed + i * 37);
    }
    return out;
}

// Keys enter through SIMPLEBLOBs under the identity exchange key.
class SymmetricKeys : public CryptoApi {
protected:
    void SetUp() override {
        const Bytes blob = identityExchangeBlob();
        ASSERT_EQ(blob.size(), 308u);
        ASSERT_EQ(CryptImportKey(verify_.get(), blob.data(), static_cast<Dword>(blob.size()), 0, 0,
                                 &exchange_),
                  kTrue)
            << std::hex << GetLastError();
    }
    void TearDown() override {
        for (const HCRYPTKEY key : keys_) {
            CryptDestroyKey(key);
        }
        CryptDestroyKey(exchange_);
        CryptoApi::TearDown();
    }

    HCRYPTKEY import(AlgId algorithm, const Bytes& key, Dword flags = 0) {
        const Bytes blob = simpleBlobOfBlock(algorithm, paddedBlock(key));
        HCRYPTKEY handle = 0;
        EXPECT_EQ(CryptImportKey(verify_.get(), blob.data(), static_cast<Dword>(blob.size()),
                                 exchange_, flags, &handle),
                  kTrue)
            << std::hex << algorithm << " " << GetLastError();
        keys_.push_back(handle);
        return handle;
    }

    HCRYPTKEY exchange_ = 0;
    std::vector<HCRYPTKEY> keys_;
};

const char* const kNowIsTheTime = "4e6f77206973207468652074696d6520666f7220616c6c20";
const char* const kSp80038aPlain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";
const char* const kSp80038aIv = "000102030405060708090a0b0c0d0e0f";

struct CipherVector {
    const char* name;
    AlgId algorithm;
    const char* key;
    Dword mode;
    const char* iv;
    const char* plain;
    const char* cipher;
};

const CipherVector kCipherVectors[] = {
    {"DES ECB", CALG_DES, "0123456789abcdef", CRYPT_MODE_ECB, "", kNowIsTheTime,
     "3fa40e8a984d48156a271787ab8883f9893d51ec4b563b53"},
    {"DES CBC", CALG_DES, "0123456789abcdef", CRYPT_MODE_CBC, "1234567890abcdef", kNowIsTheTime,
     "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
    {"3DES ECB", CALG_3DES, "0123456789abcdef23456789abcdef01456789abcdef0123", CRYPT_MODE_ECB, "",
     "54686520717566636b2062726f776e20666f78206a756d70",
     "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900"},
    {"3DES CBC", CALG_3DES, "0123456789abcdef23456789abcdef01456789abcdef0123", CRYPT_MODE_CBC,
     "1234567890abcdef", "54686520717566636b2062726f776e20666f78206a756d70",
     "38413d4ba2325cf1141f707471ac2ced57db530f0123b5ac"},
    {"AES-128 ECB", CALG_AES_128, "2b7e151628aed2a6abf7158809cf4f3c", CRYPT_MODE_ECB, "",
     kSp80038aPlain,
     "3ad77bb40d7a3660a89ecaf32466ef97f5d3d58503b9699de785895a96fdbaaf43b1cd7f598ece23881b00e3ed"
     "0306887b0c785e27e8ad3f8223207104725dd4"},
    {"AES-192 ECB", CALG_AES_192, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     CRYPT_MODE_ECB, "", kSp80038aPlain,
     "bd334f1d6e45f25ff712a214571fa5cc974104846d0ad3ad7734ecb3ecee4eefef7afd2270e2e60adce0ba2fac"
     "e6444e9a4b41ba738d6c72fb16691603c18e0e"},
    {"AES-256 ECB", CALG_AES_256,
     "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", CRYPT_MODE_ECB, "",
     kSp80038aPlain,
     "f3eed1bdb5d2a03c064b5a7e3db181f8591ccb10d410ed26dc5ba74a31362870b6ed21b99ca6f4f9f153e7b1be"
     "afed1d23304b7a39f9f3ff067d8d8f9e24ecc7"},
    {"AES-128 CBC", CALG_AES_128, "2b7e151628aed2a6abf7158809cf4f3c", CRYPT_MODE_CBC, kSp80038aIv,
     kSp80038aPlain,
     "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b273bed6b8e3c1743b7116e69e22"
     "2295163ff1caa1681fac09120eca307586e1a7"},
    {"AES-192 CBC", CALG_AES_192, "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b",
     CRYPT_MODE_CBC, kSp80038aIv, kSp80038aPlain,
     "4f021db243bc633d7178183a9fa071e8b4d9ada9ad7dedf4e5e738763f69145a571b242012fb7ae07fa9baac3d"
     "f102e008b0e27988598881d920a9e64f5615cd"},
    {"AES-256 CBC", CALG_AES_256,
     "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", CRYPT_MODE_CBC,
     kSp80038aIv, kSp80038aPlain,
     "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d39f23369a9d9bacfa530e26304"
     "231461b2eb05e2c39be9fcda6c19078c6a9d1b"},
    // Keystream at offsets 0 and 16, as the encryption of zeros.
    {"RC4 40-bit", CALG_RC4, "0102030405", CRYPT_MODE_CBC, "", "", // plain: zeros
     "b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919"},
    {"RC4 128-bit", CALG_RC4, "0102030405060708090a0b0c0d0e0f10", CRYPT_MODE_CBC, "", "",
     "9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c"},
};

TEST_F(SymmetricKeys, CipherKnownAnswers) {
    for (const CipherVector& row : kCipherVectors) {
        SCOPED_TRACE(row.name);
        const Bytes expected = hex(row.cipher);
        const Bytes plain = row.algorithm == CALG_RC4 ? Bytes(expected.size(), 0) : hex(row.plain);
        const HCRYPTKEY key = import(row.algorithm, hex(row.key));
        const Bytes iv = hex(row.iv);
        if (row.algorithm != CALG_RC4) {
            setMode(key, row.mode);
            if (!iv.empty()) {
                ASSERT_EQ(CryptSetKeyParam(key, KP_IV, iv.data(), 0), kTrue);
            }
        }
        // Whole blocks, not final: exactly the vector.
        EXPECT_EQ(encrypt(key, plain, false), expected);
        if (row.algorithm == CALG_RC4) {
            continue; // the stream has moved on; the final round trip is below
        }
        // From the IV again, the vector decrypts to the plain text.
        if (!iv.empty()) {
            ASSERT_EQ(CryptSetKeyParam(key, KP_IV, iv.data(), 0), kTrue);
        }
        EXPECT_EQ(decrypt(key, expected, false), plain);
    }
}

TEST_F(SymmetricKeys, FinalCallsPadAndRestart) {
    for (const CipherVector& row : kCipherVectors) {
        SCOPED_TRACE(row.name);
        const Bytes key = hex(row.key);
        const Bytes iv = hex(row.iv);
        const HCRYPTKEY handle = import(row.algorithm, key);
        if (row.algorithm != CALG_RC4) {
            setMode(handle, row.mode);
            if (!iv.empty()) {
                ASSERT_EQ(CryptSetKeyParam(handle, KP_IV, iv.data(), 0), kTrue);
            }
        }
        for (const std::size_t size : {0, 1, 7, 8, 16, 33}) {
            const Bytes plain = patternBytes(size, static_cast<std::uint8_t>(size));
            const Bytes sealed = encrypt(handle, plain, true);
            EXPECT_EQ(sealed, nettleEncrypt(row.algorithm, key, row.mode, iv, plain)) << size;
            // The chain went back to the IV: the same message gives the same bytes.
            EXPECT_EQ(encrypt(handle, plain, true), sealed) << size;
            EXPECT_EQ(decrypt(handle, sealed, true), plain) << size;
            EXPECT_EQ(decrypt(handle, sealed, true), plain) << size;
        }
    }
}

TEST_F(SymmetricKeys, TripleDes112IsK1K2K1) {
    const Bytes k1k2 = hex("0123456789abcdeffedcba9876543210");
    Bytes k1k2k1 = k1k2;
    k1k2k1.insert(k1k2k1.end(), k1k2.begin(), k1k2.begin() + 8);
    const HCRYPTKEY shortKey = import(CALG_3DES_112, k1k2);
    const HCRYPTKEY longKey = import(CALG_3DES, k1k2k1);
    const Bytes plain = patternBytes(45, 3);
    const Bytes sealed = encrypt(shortKey, plain, true);
    EXPECT_EQ(sealed, encrypt(longKey, plain, true));
    EXPECT_EQ(decrypt(longKey, sealed, true), plain);
    // And it is not plain DES under K1 (what a 3DES that ignored K2 would give).
    const HCRYPTKEY des = import(CALG_DES, Bytes(k1k2.begin(), k1k2.begin() + 8));
    EXPECT_NE(encrypt(des, plain, true), sealed);
}

TEST_F(SymmetricKeys, StreamingMatchesOneCall) {
    struct Row {
        AlgId algorithm;
        std::size_t keyLength;
        std::size_t block;
    } const rows[] = {{CALG_DES, 8, 8},       {CALG_3DES, 24, 8},     {CALG_3DES_112, 16, 8},
                      {CALG_AES_128, 16, 16}, {CALG_AES_192, 24, 16}, {CALG_AES_256, 32, 16},
                      {CALG_RC4, 16, 1}};
    for (const Row& row : rows) {
        for (const Dword mode : {CRYPT_MODE_CBC, CRYPT_MODE_ECB}) {
            SCOPED_TRACE(::testing::Message() << std::hex << row.algorithm << " mode " << mode);
            const Bytes keyBytes = patternBytes(row.keyLength, 0x11);
            const Bytes iv = patternBytes(row.block, 0x40);
            const HCRYPTKEY key = import(row.algorithm, keyBytes);
            setMode(key, mode);
            if (row.algorithm != CALG_RC4) {
                ASSERT_EQ(CryptSetKeyParam(key, KP_IV, iv.data(), 0), kTrue);
            }
            const Bytes plain = patternBytes(row.block * 5 + 3, 0x7);
            const Bytes whole = encrypt(key, plain, true);
            ASSERT_EQ(whole, nettleEncrypt(row.algorithm, keyBytes, mode, iv, plain));
            for (std::size_t cut = 0; cut <= row.block * 5; cut += row.block) {
                const Bytes head(plain.begin(), plain.begin() + static_cast<long>(cut));
                const Bytes tail(plain.begin() + static_cast<long>(cut), plain.end());
                Bytes joined = encrypt(key, head, false);
                const Bytes rest = encrypt(key, tail, true);
                joined.insert(joined.end(), rest.begin(), rest.end());
                EXPECT_EQ(joined, whole) << "cut " << cut;

                const Bytes sealedHead(whole.begin(), whole.begin() + static_cast<long>(cut));
                const Bytes sealedTail(whole.begin() + static_cast<long>(cut), whole.end());
                Bytes opened = decrypt(key, sealedHead, false);
                const Bytes openedRest = decrypt(key, sealedTail, true);
                opened.insert(opened.end(), openedRest.begin(), openedRest.end());
                EXPECT_EQ(opened, plain) << "cut " << cut;
            }
            // Block by block.
            Bytes pieces;
            for (std::size_t at = 0; at < row.block * 5; at += row.block) {
                const Bytes piece =
                    encrypt(key,
                            Bytes(plain.begin() + static_cast<long>(at),
                                  plain.begin() + static_cast<long>(at + row.block)),
                            false);
                pieces.insert(pieces.end(), piece.begin(), piece.end());
            }
            const Bytes last = encrypt(
                key, Bytes(plain.begin() + static_cast<long>(row.block * 5), plain.end()), true);
            pieces.insert(pieces.end(), last.begin(), last.end());
            EXPECT_EQ(pieces, whole);
        }
    }
}

TEST_F(SymmetricKeys, SettingTheIvRestartsTheChain) {
    const HCRYPTKEY key = import(CALG_AES_128, patternBytes(16, 1));
    const Bytes iv = patternBytes(16, 9);
    ASSERT_EQ(CryptSetKeyParam(key, KP_IV, iv.data(), 0), kTrue);
    const Bytes block = patternBytes(16, 2);
    const Bytes first = encrypt(key, block, false);
    EXPECT_NE(encrypt(key, block, false), first); // chained on
    ASSERT_EQ(CryptSetKeyParam(key, KP_IV, iv.data(), 0), kTrue);
    EXPECT_EQ(encrypt(key, block, false), first);
    Bytes got(16, 0);
    Dword length = 16;
    ASSERT_EQ(CryptGetKeyParam(key, KP_IV, got.data(), &length, 0), kTrue);
    EXPECT_EQ(got, iv);
}

TEST_F(SymmetricKeys, BadPaddingIsRefused) {
    // ECB with hand-made last blocks, each decrypted as a final piece.
    const HCRYPTKEY key = import(CALG_AES_128, patternBytes(16, 5));
    setMode(key, CRYPT_MODE_ECB);
    struct Row {
        const char* what;
        Bytes lastBlock;
        Dword error; // 0: accepted
        std::size_t kept;
    };
    std::vector<Row> rows = {
        {"pad 0", Bytes(16, 0), NTE_BAD_DATA, 0},
        {"pad 17", Bytes(16, 17), NTE_BAD_DATA, 0},
        {"pad 255", Bytes(16, 255), NTE_BAD_DATA, 0},
        {"full block of padding", Bytes(16, 16), 0, 0},
        {"pad 1", Bytes(16, 1), 0, 15},
    };
    for (std::size_t corrupt = 0; corrupt < 11; ++corrupt) {
        // 5 data bytes and 11 pad bytes of 11, one of them wrong.
        Bytes last = patternBytes(5, 1);
        last.insert(last.end(), 11, 11);
        last[5 + corrupt] ^= 0x40;
        rows.push_back({"corrupt pad byte", last, NTE_BAD_DATA, 0});
    }
    for (const Row& row : rows) {
        const Bytes sealed = encrypt(key, row.lastBlock, false);
        Bytes data = sealed;
        Dword length = 16;
        SetLastError(0);
        const Bool ok = CryptDecrypt(key, 0, kTrue, 0, data.data(), &length);
        if (row.error == 0) {
            EXPECT_EQ(ok, kTrue) << row.what;
            EXPECT_EQ(length, row.kept) << row.what;
        } else {
            EXPECT_EQ(ok, kFalse) << row.what;
            EXPECT_EQ(GetLastError(), row.error) << row.what;
            EXPECT_EQ(data, sealed) << row.what; // left as it was
        }
    }
    // In CBC, corrupting each pad byte through the block before it.
    const HCRYPTKEY cbc = import(CALG_AES_256, patternBytes(32, 6));
    const Bytes sealed = encrypt(cbc, patternBytes(20, 1), true);
    ASSERT_EQ(sealed.size(), 32u);
    for (std::size_t position = 4; position < 16; ++position) {
        Bytes data = sealed;
        data[position] ^= 0x01;
        Dword length = 32;
        EXPECT_EQ(CryptDecrypt(cbc, 0, kTrue, 0, data.data(), &length), kFalse) << position;
        EXPECT_EQ(GetLastError(), NTE_BAD_DATA) << position;
    }
    // The failures did not leave the chain in the middle of a message.
    EXPECT_EQ(decrypt(cbc, sealed, true), patternBytes(20, 1));
}

TEST_F(SymmetricKeys, EncryptFollowsOutputRule) {
    const HCRYPTKEY key = import(CALG_AES_128, patternBytes(16, 8));
    for (const std::size_t input : {0, 1, 15, 16, 17}) {
        const std::size_t needed = (input / 16 + 1) * 16;
        const Bytes plain = patternBytes(input, 4);
        Dword length = static_cast<Dword>(input);
        ASSERT_EQ(CryptEncrypt(key, 0, kTrue, 0, nullptr, &length, 0), kTrue);
        EXPECT_EQ(length, needed);
        for (std::size_t given = input; given < needed; ++given) {
            Bytes buffer = plain;
            buffer.resize(needed + 8, kCanary);
            const Bytes before = buffer;
            length = static_cast<Dword>(input);
            EXPECT_EQ(
                CryptEncrypt(key, 0, kTrue, 0, buffer.data(), &length, static_cast<Dword>(given)),
                kFalse);
            EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
            EXPECT_EQ(length, needed);
            EXPECT_EQ(buffer, before) << input << " in " << given;
        }
        Bytes buffer = plain;
        buffer.resize(needed + 8, kCanary);
        length = static_cast<Dword>(input);
        ASSERT_EQ(
            CryptEncrypt(key, 0, kTrue, 0, buffer.data(), &length, static_cast<Dword>(needed)),
            kTrue);
        EXPECT_EQ(length, needed);
        EXPECT_EQ(Bytes(buffer.begin() + static_cast<long>(needed), buffer.end()),
                  Bytes(8, kCanary));
        // Neither the size query nor the refusals moved the chain.
        buffer.resize(needed);
        EXPECT_EQ(buffer, nettleEncrypt(CALG_AES_128, patternBytes(16, 8), CRYPT_MODE_CBC,
                                        Bytes(16, 0), plain));
    }
}

TEST_F(SymmetricKeys, EncryptDecryptArgumentErrors) {
    const HCRYPTKEY key = import(CALG_DES, patternBytes(8, 8));
    Bytes data(32, 1);
    Dword length = 9;
    struct Row {
        const char* what;
        std::function<Bool()> call;
        Dword error;
    } const rows[] = {
        {"partial block, not final",
         [&] { return CryptEncrypt(key, 0, kFalse, 0, data.data(), &length, 32); }, NTE_BAD_DATA},
        {"decrypt partial block",
         [&] { return CryptDecrypt(key, 0, kTrue, 0, data.data(), &length); }, NTE_BAD_DATA},
        {"decrypt nothing, final",
         [&] {
             Dword none = 0;
             return CryptDecrypt(key, 0, kTrue, 0, data.data(), &none);
         },
         NTE_BAD_DATA},
        {"flags", [&] { return CryptEncrypt(key, 0, kTrue, 0x40, data.data(), &length, 32); },
         NTE_BAD_FLAGS},
        {"no length", [&] { return CryptEncrypt(key, 0, kTrue, 0, data.data(), nullptr, 32); },
         ERROR_INVALID_PARAMETER},
        {"RSA encryption into less than the modulus",
         [&] { return CryptEncrypt(exchange_, 0, kTrue, 0, data.data(), &length, 32); },
         ERROR_MORE_DATA},
        {"RSA decryption of less than the modulus",
         [&] { return CryptDecrypt(exchange_, 0, kTrue, 0, data.data(), &length); }, NTE_BAD_LEN},
        {"stale hash",
         [&] { return CryptEncrypt(key, 0x1234, kTrue, 0, data.data(), &length, 32); },
         NTE_BAD_HASH},
    };
    for (const Row& row : rows) {
        SetLastError(0);
        length = 9;
        EXPECT_EQ(row.call(), kFalse) << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
        EXPECT_EQ(data, Bytes(32, 1)) << row.what;
    }
    // Not final with no data is fine.
    length = 0;
    EXPECT_EQ(CryptDecrypt(key, 0, kFalse, 0, nullptr, &length), kTrue);
    CryptDestroyKey(key);
    keys_.clear();
    length = 8;
    EXPECT_EQ(CryptEncrypt(key, 0, kFalse, 0, data.data(), &length, 32), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
}

TEST_F(SymmetricKeys, EncryptAndDecryptFeedAHash) {
    const HCRYPTKEY key = import(CALG_AES_192, patternBytes(24, 3));
    const Bytes plain = patternBytes(40, 9);
    const Bytes expected = hashOf(verify_.get(), CALG_SHA_256, plain, 40);
    for (const bool encrypting : {true, false}) {
        HCRYPTHASH hash = 0;
        ASSERT_EQ(CryptCreateHash(verify_.get(), CALG_SHA_256, 0, 0, &hash), kTrue);
        Bytes data = encrypting ? plain : encrypt(key, plain, true);
        Dword length = static_cast<Dword>(encrypting ? plain.size() : data.size());
        data.resize(64);
        const Bool ok = encrypting ? CryptEncrypt(key, hash, kTrue, 0, data.data(), &length, 64)
                                   : CryptDecrypt(key, hash, kTrue, 0, data.data(), &length);
        ASSERT_EQ(ok, kTrue);
        Bytes value(32);
        Dword size = 32;
        ASSERT_EQ(CryptGetHashParam(hash, HP_HASHVAL, value.data(), &size, 0), kTrue);
        EXPECT_EQ(value, expected) << encrypting;
        // A finished hash takes no more.
        EXPECT_EQ(CryptEncrypt(key, hash, kTrue, 0, data.data(), &length, 64), kFalse);
        EXPECT_EQ(GetLastError(), NTE_BAD_HASH_STATE);
        CryptDestroyHash(hash);
    }
}

TEST_F(SymmetricKeys, KeyParams) {
    struct Row {
        AlgId algorithm;
        std::size_t keyLength;
        Dword blockBits;
    } const rows[] = {{CALG_DES, 8, 64},       {CALG_3DES_112, 16, 64}, {CALG_3DES, 24, 64},
                      {CALG_RC4, 5, 0},        {CALG_RC4, 16, 0},       {CALG_AES_128, 16, 128},
                      {CALG_AES_192, 24, 128}, {CALG_AES_256, 32, 128}};
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << std::hex << row.algorithm << std::dec << " " << row.keyLength);
        const HCRYPTKEY key = import(row.algorithm, patternBytes(row.keyLength, 1));
        const auto param = [&](Dword which, std::size_t size) {
            return checkOutputRule(
                [&](std::uint8_t* d, Dword* l) { return CryptGetKeyParam(key, which, d, l, 0); },
                size);
        };
        EXPECT_EQ(dwordOf(param(KP_ALGID, 4)), row.algorithm);
        EXPECT_EQ(dwordOf(param(KP_BLOCKLEN, 4)), row.blockBits);
        EXPECT_EQ(dwordOf(param(KP_KEYLEN, 4)), row.keyLength * 8);
        EXPECT_EQ(dwordOf(param(KP_MODE, 4)), CRYPT_MODE_CBC);
        EXPECT_EQ(param(KP_IV, row.blockBits / 8), Bytes(row.blockBits / 8, 0));

        // The stream cipher takes an IV and a mode and ignores both.
        const Bytes iv = patternBytes(16, 0x33);
        EXPECT_EQ(CryptSetKeyParam(key, KP_IV, iv.data(), 0), kTrue);
        setMode(key, CRYPT_MODE_ECB);
        if (row.blockBits != 0) {
            EXPECT_EQ(param(KP_IV, row.blockBits / 8),
                      Bytes(iv.begin(), iv.begin() + row.blockBits / 8));
            EXPECT_EQ(keyParam(key, KP_MODE), CRYPT_MODE_ECB);
            const Bytes cfb{4, 0, 0, 0};
            EXPECT_EQ(CryptSetKeyParam(key, KP_MODE, cfb.data(), 0), kFalse);
            EXPECT_EQ(GetLastError(), NTE_BAD_DATA);
        } else {
            EXPECT_EQ(keyParam(key, KP_MODE), CRYPT_MODE_CBC);
        }
        EXPECT_EQ(CryptSetKeyParam(key, KP_KEYLEN, iv.data(), 0), kFalse);
        EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
        EXPECT_EQ(CryptSetKeyParam(key, KP_IV, nullptr, 0), kFalse);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        Dword length = 4;
        Bytes out(4);
        EXPECT_EQ(CryptGetKeyParam(key, 99, out.data(), &length, 0), kFalse);
        EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
    }
    EXPECT_EQ(keyParam(exchange_, KP_ALGID), CALG_RSA_KEYX);
    EXPECT_EQ(keyParam(exchange_, KP_KEYLEN), 512u);
    Bytes iv(16);
    Dword length = 16;
    EXPECT_EQ(CryptGetKeyParam(exchange_, KP_IV, iv.data(), &length, 0), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_TYPE);
}

TEST_F(SymmetricKeys, GeneratedKeys) {
    struct Row {
        AlgId algorithm;
        Dword bits;      // upper flag bits
        Dword keyLength; // 0: refused with NTE_BAD_FLAGS
    } const rows[] = {
        {CALG_DES, 0, 64},      {CALG_DES, 56, 64},     {CALG_3DES_112, 0, 128},
        {CALG_3DES, 0, 192},    {CALG_3DES, 168, 192},  {CALG_RC4, 0, 128},
        {CALG_RC4, 40, 40},     {CALG_RC4, 41, 0},      {CALG_RC4, 136, 0},
        {CALG_AES_128, 0, 128}, {CALG_AES_128, 256, 0}, {CALG_AES_192, 192, 192},
        {CALG_AES_256, 0, 256},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(::testing::Message()
                     << std::hex << row.algorithm << std::dec << " " << row.bits);
        HCRYPTKEY key = 0;
        const Bool ok =
            CryptGenKey(verify_.get(), row.algorithm, row.bits << 16 | CRYPT_EXPORTABLE, &key);
        if (row.keyLength == 0) {
            EXPECT_EQ(ok, kFalse);
            EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
            continue;
        }
        ASSERT_EQ(ok, kTrue);
        keys_.push_back(key);
        EXPECT_EQ(keyParam(key, KP_KEYLEN), row.keyLength);
        // The identity exchange key shows the padded block, key at the end.
        Bytes blob(76);
        Dword length = 76;
        ASSERT_EQ(CryptExportKey(key, exchange_, SIMPLEBLOB, 0, blob.data(), &length), kTrue);
        ASSERT_EQ(length, 76u);
        Bytes block(blob.begin() + 12, blob.end());
        std::reverse(block.begin(), block.end());
        const std::size_t keyBytes = row.keyLength / 8;
        const Bytes body(block.end() - static_cast<long>(keyBytes), block.end());
        EXPECT_EQ(block[0], 0);
        EXPECT_EQ(block[1], 2);
        EXPECT_EQ(std::count(block.begin() + 2, block.end() - static_cast<long>(keyBytes) - 1, 0),
                  0);
        EXPECT_EQ(block[63 - keyBytes], 0);
        if (row.algorithm != CALG_RC4 && row.algorithm < CALG_AES_128) {
            for (const std::uint8_t byte : body) {
                EXPECT_EQ(__builtin_popcount(byte) % 2, 1) << "DES parity";
            }
        }
        // The exported key is the key: an import of it encrypts alike.
        const HCRYPTKEY copy = import(row.algorithm, body);
        const Bytes plain = patternBytes(30, 2);
        EXPECT_EQ(encrypt(copy, plain, true), encrypt(key, plain, true));
        HCRYPTKEY other = 0;
        ASSERT_EQ(CryptGenKey(verify_.get(), row.algorithm, row.bits << 16, &other), kTrue);
        keys_.push_back(other);
        EXPECT_NE(encrypt(other, plain, true), encrypt(key, plain, true));
    }
    HCRYPTKEY key = 0;
    EXPECT_EQ(CryptGenKey(verify_.get(), CALG_MD5, 0, &key), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_ALGID);
    EXPECT_EQ(CryptGenKey(verify_.get(), CALG_AES_128, 0x4, &key), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
}

TEST_F(SymmetricKeys, SimpleBlobExport) {
    HCRYPTKEY fixed = import(CALG_AES_128, patternBytes(16, 1));
    HCRYPTKEY exportable =
        import(CALG_AES_128, patternBytes(16, 1), CRYPT_EXPORTABLE | CRYPT_NO_SALT);
    Dword length = 0;
    EXPECT_EQ(CryptExportKey(fixed, exchange_, SIMPLEBLOB, 0, nullptr, &length), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY_STATE);
    const Bytes blob = checkOutputRule(
        [&](std::uint8_t* d, Dword* l) {
            return CryptExportKey(exportable, exchange_, SIMPLEBLOB, 0, d, l);
        },
        76);
    EXPECT_EQ(Bytes(blob.begin(), blob.begin() + 12),
              (Bytes{SIMPLEBLOB, 2, 0, 0, 0x0E, 0x66, 0, 0, 0x00, 0xA4, 0, 0}));
    // The padding is random: two exports differ but both open to the key.
    Bytes again(76);
    length = 76;
    ASSERT_EQ(CryptExportKey(exportable, exchange_, SIMPLEBLOB, 0, again.data(), &length), kTrue);
    EXPECT_NE(again, blob);
    for (const Bytes& each : {blob, again}) {
        HCRYPTKEY opened = 0;
        ASSERT_EQ(CryptImportKey(verify_.get(), each.data(), 76, exchange_, 0, &opened), kTrue);
        keys_.push_back(opened);
        EXPECT_EQ(encrypt(opened, patternBytes(16, 0), true),
                  encrypt(fixed, patternBytes(16, 0), true));
    }
    struct Row {
        const char* what;
        HCRYPTKEY key;
        HCRYPTKEY exportKey;
        Dword type;
        Dword flags;
        Dword error;
    } const rows[] = {
        {"no export key", exportable, 0, SIMPLEBLOB, 0, NTE_BAD_KEY},
        {"symmetric export key", exportable, fixed, SIMPLEBLOB, 0, NTE_BAD_PUBLIC_KEY},
        {"RSA key as SIMPLEBLOB", exchange_, exchange_, SIMPLEBLOB, 0, NTE_BAD_KEY},
        {"unknown blob type", exportable, exchange_, 3, 0, NTE_BAD_TYPE},
        {"flags", exportable, exchange_, SIMPLEBLOB, 0x40, NTE_BAD_FLAGS},
        {"symmetric key as public blob", exportable, 0, PUBLICKEYBLOB, 0, NTE_BAD_KEY},
        {"symmetric key as private blob", exportable, 0, PRIVATEKEYBLOB, 0, NTE_BAD_KEY},
    };
    for (const Row& row : rows) {
        Bytes out(80, kCanary);
        length = 80;
        EXPECT_EQ(CryptExportKey(row.key, row.exportKey, row.type, row.flags, out.data(), &length),
                  kFalse)
            << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
        EXPECT_EQ(out, Bytes(80, kCanary)) << row.what;
    }
}

// Every call answers the seam: the injected error, nothing written, and
// the next call goes through.
TEST_F(SymmetricKeys, EveryCallAnswersTheFailureSeam) {
    const HCRYPTKEY aes = import(CALG_AES_128, patternBytes(16, 1), CRYPT_EXPORTABLE);
    const Bytes wrapped = simpleBlobOfBlock(CALG_AES_128, paddedBlock(patternBytes(16, 1)));
    const Bytes plain = patternBytes(16, 4);
    const Bytes md5OfNothing = hex("d41d8cd98f00b204e9800998ecf8427e");
    const auto usableHash = [](HCRYPTHASH hash) {
        const std::uint8_t byte = 0;
        return CryptHashData(hash, &byte, 0, 0) == kTrue;
    };
    const auto usableKey = [](HCRYPTKEY key) { return keyParam(key, KP_ALGID) != 0; };
    const auto newHash = [&] {
        HCRYPTHASH hash = 0;
        EXPECT_EQ(CryptCreateHash(verify_.get(), CALG_MD5, 0, 0, &hash), kTrue);
        return hash;
    };

    // Each call reports whether it changed anything it was given, and cleans
    // up after itself when it succeeded.
    struct Row {
        const char* name;
        std::function<Bool(bool& changed)> call;
    } const rows[] = {
        {"CryptAcquireContextW",
         [&](bool& changed) {
             HCRYPTPROV prov = 0xAB;
             const Bool ok =
                 CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
             changed = prov != 0xAB;
             if (ok == kTrue) {
                 CryptReleaseContext(prov, 0);
             }
             return ok;
         }},
        {"CryptContextAddRef",
         [&](bool&) {
             const Bool ok = CryptContextAddRef(verify_.get(), nullptr, 0);
             if (ok == kTrue) {
                 CryptReleaseContext(verify_.get(), 0);
             }
             return ok;
         }},
        {"CryptReleaseContext",
         [&](bool& changed) {
             HCRYPTPROV prov = 0;
             CryptAcquireContextW(&prov, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT);
             const Bool ok = CryptReleaseContext(prov, 0);
             std::uint8_t byte = 0;
             const bool alive = CryptGenRandom(prov, 1, &byte) == kTrue;
             changed = ok == kFalse && !alive;
             if (ok == kFalse) {
                 CryptReleaseContext(prov, 0);
             }
             return ok;
         }},
        {"CryptSetProvParam",
         [&](bool&) {
             SECURITY_DESCRIPTOR descriptor;
             return CryptSetProvParam(verify_.get(), PP_KEYSET_SEC_DESCR,
                                      reinterpret_cast<const std::uint8_t*>(&descriptor),
                                      DACL_SECURITY_INFORMATION);
         }},
        {"CryptGenRandom",
         [&](bool& changed) {
             Bytes buffer(32, kCanary);
             const Bool ok = CryptGenRandom(verify_.get(), 32, buffer.data());
             changed = buffer != Bytes(32, kCanary);
             return ok;
         }},
        {"InitializeSecurityDescriptor",
         [&](bool& changed) {
             SECURITY_DESCRIPTOR descriptor;
             descriptor.revision = 0x77;
             const Bool ok =
                 InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
             changed = descriptor.revision != 0x77;
             return ok;
         }},
        {"SetSecurityDescriptorDacl",
         [&](bool& changed) {
             SECURITY_DESCRIPTOR descriptor;
             descriptor.revision = SECURITY_DESCRIPTOR_REVISION;
             const Bool ok = SetSecurityDescriptorDacl(&descriptor, kTrue, nullptr, kFalse);
             changed = descriptor.daclPresent;
             return ok;
         }},
        {"CryptCreateHash",
         [&](bool& changed) {
             HCRYPTHASH hash = 0xAB;
             const Bool ok = CryptCreateHash(verify_.get(), CALG_SHA1, 0, 0, &hash);
             changed = hash != 0xAB;
             if (ok == kTrue) {
                 CryptDestroyHash(hash);
             }
             return ok;
         }},
        {"CryptHashData",
         [&](bool& changed) {
             const HCRYPTHASH hash = newHash();
             const Bool ok = CryptHashData(hash, plain.data(), 16, 0);
             Bytes value(16);
             Dword length = 16;
             CryptGetHashParam(hash, HP_HASHVAL, value.data(), &length, 0);
             changed = ok == kFalse && value != md5OfNothing;
             CryptDestroyHash(hash);
             return ok;
         }},
        {"CryptGetHashParam",
         [&](bool& changed) {
             const HCRYPTHASH hash = newHash();
             Bytes value(16, kCanary);
             Dword length = 16;
             const Bool ok = CryptGetHashParam(hash, HP_HASHVAL, value.data(), &length, 0);
             // Not finished either: it still takes data.
             changed = value != Bytes(16, kCanary) || length != 16 ||
                       CryptHashData(hash, plain.data(), 1, 0) == kFalse;
             CryptDestroyHash(hash);
             return ok;
         }},
        {"CryptDestroyHash",
         [&](bool& changed) {
             const HCRYPTHASH hash = newHash();
             const Bool ok = CryptDestroyHash(hash);
             changed = ok == kFalse && !usableHash(hash);
             if (ok == kFalse) {
                 CryptDestroyHash(hash);
             }
             return ok;
         }},
        {"CryptGenKey",
         [&](bool& changed) {
             HCRYPTKEY key = 0xAB;
             const Bool ok = CryptGenKey(verify_.get(), CALG_RC4, 0, &key);
             changed = key != 0xAB;
             if (ok == kTrue) {
                 CryptDestroyKey(key);
             }
             return ok;
         }},
        {"CryptGetUserKey",
         [&](bool& changed) {
             HCRYPTKEY key = 0xAB;
             const Bool ok = CryptGetUserKey(verify_.get(), AT_KEYEXCHANGE, &key);
             changed = key != 0xAB;
             if (ok == kTrue) {
                 CryptDestroyKey(key);
             }
             return ok;
         }},
        {"CryptImportKey",
         [&](bool& changed) {
             HCRYPTKEY key = 0xAB;
             const Bool ok = CryptImportKey(verify_.get(), wrapped.data(),
                                            static_cast<Dword>(wrapped.size()), exchange_, 0, &key);
             changed = key != 0xAB;
             if (ok == kTrue) {
                 CryptDestroyKey(key);
             }
             return ok;
         }},
        {"CryptExportKey",
         [&](bool& changed) {
             Bytes blob(76, kCanary);
             Dword length = 76;
             const Bool ok = CryptExportKey(aes, exchange_, SIMPLEBLOB, 0, blob.data(), &length);
             changed = blob != Bytes(76, kCanary) || length != 76;
             return ok;
         }},
        {"CryptGetKeyParam",
         [&](bool& changed) {
             Bytes value(4, kCanary);
             Dword length = 4;
             const Bool ok = CryptGetKeyParam(aes, KP_ALGID, value.data(), &length, 0);
             changed = value != Bytes(4, kCanary) || length != 4;
             return ok;
         }},
        {"CryptSetKeyParam",
         [&](bool& changed) {
             const Bool ok = CryptSetKeyParam(aes, KP_IV, plain.data(), 0);
             Bytes iv(16);
             Dword length = 16;
             CryptGetKeyParam(aes, KP_IV, iv.data(), &length, 0);
             changed = ok == kFalse && iv != Bytes(16, 0);
             const Bytes zero(16, 0);
             CryptSetKeyParam(aes, KP_IV, zero.data(), 0);
             return ok;
         }},
        {"CryptEncrypt",
         [&](bool& changed) {
             Bytes data = plain;
             data.resize(32);
             Dword length = 16;
             const Bool ok = CryptEncrypt(aes, 0, kTrue, 0, data.data(), &length, 32);
             changed =
                 ok == kFalse && (length != 16 || Bytes(data.begin(), data.begin() + 16) != plain);
             return ok;
         }},
        {"CryptDecrypt",
         [&](bool& changed) {
             Bytes data = plain;
             Dword length = 16;
             const Bool ok = CryptDecrypt(aes, 0, kFalse, 0, data.data(), &length);
             changed = ok == kFalse && (length != 16 || data != plain);
             return ok;
         }},
        {"CryptDestroyKey",
         [&](bool& changed) {
             HCRYPTKEY key = 0;
             CryptGenKey(verify_.get(), CALG_RC4, 0, &key);
             const Bool ok = CryptDestroyKey(key);
             changed = ok == kFalse && !usableKey(key);
             if (ok == kFalse) {
                 CryptDestroyKey(key);
             }
             return ok;
         }},
    };
    Dword error = 0x80097000;
    for (const Row& row : rows) {
        ++error;
        capi::testing::failNextCall(row.name, error);
        bool changed = false;
        SetLastError(0);
        EXPECT_EQ(row.call(changed), kFalse) << row.name;
        EXPECT_EQ(GetLastError(), error) << row.name;
        EXPECT_FALSE(changed) << row.name;
        EXPECT_EQ(row.call(changed), kTrue) << row.name << " " << std::hex << GetLastError();
    }
    capi::testing::failNextCall("loadSmartCardKeyStorage", 0x80097777);
    EXPECT_FALSE(loadSmartCardKeyStorage());
    EXPECT_EQ(GetLastError(), 0x80097777u);
    EXPECT_FALSE(loadSmartCardKeyStorage());
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST_F(SymmetricKeys, MalformedSimpleBlobs) {
    const Bytes key = patternBytes(16, 1);
    const Bytes good = simpleBlobOfBlock(CALG_AES_128, paddedBlock(key));
    const auto withBlock = [&](AlgId algorithm, const Bytes& block) {
        return simpleBlobOfBlock(algorithm, block);
    };
    const auto changed = [&](std::size_t at, std::uint8_t value) {
        Bytes blob = good;
        blob[at] = value;
        return blob;
    };
    // The block with its separator moved so the random part is short.
    Bytes shortPad(64, 0x77);
    shortPad[0] = 0;
    shortPad[1] = 2;
    shortPad[9] = 0;
    Bytes noSeparator(64, 0x77);
    noSeparator[0] = 0;
    noSeparator[1] = 2;
    Bytes zeroInPadding = paddedBlock(key);
    zeroInPadding[20] = 0; // the key would come out 43 bytes long
    Bytes tooLarge = good;
    std::fill(tooLarge.begin() + 12, tooLarge.end(), 0xFF); // not below the modulus

    struct Row {
        const char* what;
        Bytes blob;
        Dword error;
    } const rows[] = {
        {"header cut", Bytes(good.begin(), good.begin() + 7), NTE_BAD_LEN},
        {"one byte short", Bytes(good.begin(), good.end() - 1), NTE_BAD_LEN},
        {"one byte long",
         [&] {
             Bytes b = good;
             b.push_back(0);
             return b;
         }(),
         NTE_BAD_LEN},
        {"version 1", changed(1, 1), NTE_BAD_VER},
        {"type 2", changed(0, 2), NTE_BAD_TYPE},
        {"hash algorithm", simpleBlobOfBlock(CALG_SHA1, paddedBlock(key)), NTE_BAD_ALGID},
        {"exchange algorithm", simpleBlobOfBlock(CALG_AES_128, paddedBlock(key), CALG_RSA_SIGN),
         NTE_BAD_ALGID},
        {"first byte 1",
         withBlock(CALG_AES_128,
                   [&] {
                       Bytes b = paddedBlock(key);
                       b[0] = 1;
                       return b;
                   }()),
         NTE_BAD_DATA},
        {"block type 1",
         withBlock(CALG_AES_128,
                   [&] {
                       Bytes b = paddedBlock(key);
                       b[1] = 1;
                       return b;
                   }()),
         NTE_BAD_DATA},
        {"seven padding bytes", withBlock(CALG_AES_128, shortPad), NTE_BAD_DATA},
        {"no separator", withBlock(CALG_AES_128, noSeparator), NTE_BAD_DATA},
        {"zero inside padding", withBlock(CALG_AES_128, zeroInPadding), NTE_BAD_DATA},
        {"not below modulus", tooLarge, NTE_BAD_DATA},
        {"AES-128 with 15 bytes", withBlock(CALG_AES_128, paddedBlock(patternBytes(15, 1))),
         NTE_BAD_DATA},
        {"AES-256 with 16 bytes", withBlock(CALG_AES_256, paddedBlock(key)), NTE_BAD_DATA},
        {"DES with 7 bytes", withBlock(CALG_DES, paddedBlock(patternBytes(7, 1))), NTE_BAD_DATA},
        {"3DES with 16 bytes", withBlock(CALG_3DES, paddedBlock(key)), NTE_BAD_DATA},
        {"3DES-112 with 24 bytes", withBlock(CALG_3DES_112, paddedBlock(patternBytes(24, 1))),
         NTE_BAD_DATA},
        {"RC4 with 4 bytes", withBlock(CALG_RC4, paddedBlock(patternBytes(4, 1))), NTE_BAD_DATA},
        {"RC4 with 17 bytes", withBlock(CALG_RC4, paddedBlock(patternBytes(17, 1))), NTE_BAD_DATA},
        {"empty key", withBlock(CALG_RC4, paddedBlock({})), NTE_BAD_DATA},
    };
    for (const Row& row : rows) {
        HCRYPTKEY handle = 0x99;
        SetLastError(0);
        EXPECT_EQ(CryptImportKey(verify_.get(), row.blob.data(),
                                 static_cast<Dword>(row.blob.size()), exchange_, 0, &handle),
                  kFalse)
            << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
        EXPECT_EQ(handle, 0x99u) << row.what;
    }
    // The good blob itself, and the import key it needs.
    HCRYPTKEY handle = 0;
    const HCRYPTKEY symmetric = import(CALG_AES_128, key);
    for (const HCRYPTKEY importKey : {HCRYPTKEY{0}, symmetric}) {
        EXPECT_EQ(CryptImportKey(verify_.get(), good.data(), 76, importKey, 0, &handle), kFalse);
        EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
    }
    EXPECT_EQ(CryptImportKey(verify_.get(), good.data(), 76, exchange_, 0x4, &handle), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS);
    ASSERT_EQ(CryptImportKey(verify_.get(), good.data(), 76, exchange_, 0, &handle), kTrue);
    keys_.push_back(handle);
    EXPECT_EQ(keyParam(handle, KP_ALGID), CALG_AES_128);
}

// ---- RSA key pairs ---------------------------------------------------------

Bytes exportBlob(HCRYPTKEY key, Dword type, HCRYPTKEY exportKey = 0) {
    Dword length = 0;
    EXPECT_EQ(CryptExportKey(key, exportKey, type, 0, nullptr, &length), kTrue)
        << std::hex << GetLastError();
    Bytes blob(length);
    EXPECT_EQ(CryptExportKey(key, exportKey, type, 0, blob.data(), &length), kTrue);
    blob.resize(length);
    return blob;
}

HCRYPTKEY importBlob(HCRYPTPROV prov, const Bytes& blob, HCRYPTKEY importKey = 0, Dword flags = 0) {
    HCRYPTKEY key = 0;
    EXPECT_EQ(
        CryptImportKey(prov, blob.data(), static_cast<Dword>(blob.size()), importKey, flags, &key),
        kTrue)
        << std::hex << GetLastError();
    return key;
}

// A container made for the test and deleted after it.
class Keyset {
public:
    explicit Keyset(const char16_t* name, Dword flags = 0) : name_(name), flags_(flags) {
        CryptAcquireContextW(&handle_, name_, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET | flags_);
        EXPECT_EQ(
            CryptAcquireContextW(&handle_, name_, nullptr, PROV_RSA_AES, CRYPT_NEWKEYSET | flags_),
            kTrue);
    }
    ~Keyset() {
        CryptReleaseContext(handle_, 0);
        HCRYPTPROV gone = 0;
        CryptAcquireContextW(&gone, name_, nullptr, PROV_RSA_AES, CRYPT_DELETEKEYSET | flags_);
    }
    Keyset(const Keyset&) = delete;
    Keyset& operator=(const Keyset&) = delete;
    HCRYPTPROV get() const { return handle_; }

private:
    const char16_t* name_;
    Dword flags_;
    HCRYPTPROV handle_ = 0;
};

TEST_F(CryptoApi, GeneratedPairsLiveInTheirContainerSlot) {
    Keyset keyset(u"slots-test");
    HCRYPTKEY key = 0;
    EXPECT_EQ(CryptGetUserKey(keyset.get(), AT_KEYEXCHANGE, &key), kFalse);
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    ASSERT_EQ(CryptGenKey(keyset.get(), AT_KEYEXCHANGE, 512u << 16, &key), kTrue);
    EXPECT_EQ(keyParam(key, KP_ALGID), CALG_RSA_KEYX);
    EXPECT_EQ(keyParam(key, KP_KEYLEN), 512u);
    EXPECT_EQ(keyParam(key, KP_BLOCKLEN), 512u);
    const Bytes publicBlob = exportBlob(key, PUBLICKEYBLOB);
    // The handle goes; the key stays in the container, seen from every handle.
    EXPECT_EQ(CryptDestroyKey(key), kTrue);
    HCRYPTPROV other = 0;
    ASSERT_EQ(CryptAcquireContextW(&other, u"slots-test", nullptr, PROV_RSA_AES, 0), kTrue);
    HCRYPTKEY stored = 0;
    ASSERT_EQ(CryptGetUserKey(other, AT_KEYEXCHANGE, &stored), kTrue);
    EXPECT_EQ(exportBlob(stored, PUBLICKEYBLOB), publicBlob);
    EXPECT_EQ(CryptGetUserKey(other, AT_SIGNATURE, &key), kFalse);
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    EXPECT_EQ(CryptGetUserKey(other, 3, &key), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY);

    // CALG_RSA_SIGN fills the other slot; the exchange key is untouched.
    HCRYPTKEY signature = 0;
    ASSERT_EQ(CryptGenKey(other, CALG_RSA_SIGN, 512u << 16, &signature), kTrue);
    ASSERT_EQ(CryptGetUserKey(keyset.get(), AT_SIGNATURE, &key), kTrue);
    EXPECT_EQ(keyParam(key, KP_ALGID), CALG_RSA_SIGN);
    EXPECT_EQ(exportBlob(key, PUBLICKEYBLOB), exportBlob(signature, PUBLICKEYBLOB));
    EXPECT_NE(exportBlob(key, PUBLICKEYBLOB), publicBlob);
    CryptDestroyKey(key);
    CryptDestroyKey(signature);
    CryptDestroyKey(stored);
    ASSERT_EQ(CryptGetUserKey(keyset.get(), AT_KEYEXCHANGE, &key), kTrue);
    EXPECT_EQ(exportBlob(key, PUBLICKEYBLOB), publicBlob);
    CryptDestroyKey(key);
    CryptReleaseContext(other, 0);

    // The machine keyset of the same name is another container.
    Keyset machine(u"slots-test", CRYPT_MACHINE_KEYSET);
    EXPECT_EQ(CryptGetUserKey(machine.get(), AT_KEYEXCHANGE, &key), kFalse);
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
}

TEST_F(CryptoApi, VerifyContextKeepsItsOwnKeys) {
    HCRYPTKEY key = 0;
    ASSERT_EQ(CryptGenKey(verify_.get(), AT_SIGNATURE, 512u << 16, &key), kTrue);
    HCRYPTKEY again = 0;
    ASSERT_EQ(CryptGetUserKey(verify_.get(), AT_SIGNATURE, &again), kTrue);
    EXPECT_EQ(exportBlob(again, PUBLICKEYBLOB), exportBlob(key, PUBLICKEYBLOB));
    Provider other;
    EXPECT_EQ(CryptGetUserKey(other.get(), AT_SIGNATURE, &again), kFalse);
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
}

TEST_F(CryptoApi, ConcurrentGenerationIntoOneContainer) {
    Keyset keyset(u"concurrent");
    std::vector<Bytes> made(3);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < made.size(); ++t) {
        threads.emplace_back([&, t] {
            HCRYPTKEY key = 0;
            if (CryptGenKey(keyset.get(), AT_KEYEXCHANGE, 512u << 16, &key) == kTrue) {
                made[t] = exportBlob(key, PUBLICKEYBLOB);
                CryptDestroyKey(key);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    HCRYPTKEY stored = 0;
    ASSERT_EQ(CryptGetUserKey(keyset.get(), AT_KEYEXCHANGE, &stored), kTrue);
    const Bytes kept = exportBlob(stored, PUBLICKEYBLOB);
    EXPECT_EQ(kept.size(), 84u);
    EXPECT_NE(std::find(made.begin(), made.end(), kept), made.end());
    CryptDestroyKey(stored);
}

TEST_F(CryptoApi, RsaModulusLengthFromFlags) {
    struct Row {
        Dword bits;
        Dword expected; // 0: refused with NTE_BAD_FLAGS
    } const rows[] = {{0, 1024}, {512, 512}, {768, 768}, {520, 0}, {256, 0}, {0x8000, 0}};
    for (const Row& row : rows) {
        HCRYPTKEY key = 0;
        const Bool ok = CryptGenKey(verify_.get(), AT_KEYEXCHANGE, row.bits << 16, &key);
        if (row.expected == 0) {
            EXPECT_EQ(ok, kFalse) << row.bits;
            EXPECT_EQ(GetLastError(), NTE_BAD_FLAGS) << row.bits;
            continue;
        }
        ASSERT_EQ(ok, kTrue) << row.bits;
        EXPECT_EQ(keyParam(key, KP_KEYLEN), row.expected);
        const Bytes blob = exportBlob(key, PUBLICKEYBLOB);
        ASSERT_EQ(blob.size(), 20 + row.expected / 8);
        EXPECT_GE(blob.back(), 0x80) << "the modulus has all its bits";
        CryptDestroyKey(key);
    }
}

// Reads the numbers of a PRIVATEKEYBLOB and checks they make one RSA key.
void expectConsistentPrivateBlob(const Bytes& blob, Dword bits) {
    ASSERT_EQ(blob.size(), 20 + bits / 8 * 2 + bits / 16 * 5);
    EXPECT_EQ(Bytes(blob.begin() + 8, blob.begin() + 12), bytesOf("RSA2"));
    const auto read = [&](mpz_t out, std::size_t at, std::size_t width) {
        mpz_import(out, width, -1, 1, 0, 0, blob.data() + at);
    };
    mpz_t n, e, p, q, dp, dq, qinv, d, t;
    mpz_inits(n, e, p, q, dp, dq, qinv, d, t, nullptr);
    mpz_set_ui(e, blob[16] | blob[17] << 8 | blob[18] << 16 | static_cast<Dword>(blob[19]) << 24);
    const std::size_t m = bits / 8;
    const std::size_t h = bits / 16;
    read(n, 20, m);
    read(p, 20 + m, h);
    read(q, 20 + m + h, h);
    read(dp, 20 + m + 2 * h, h);
    read(dq, 20 + m + 3 * h, h);
    read(qinv, 20 + m + 4 * h, h);
    read(d, 20 + m + 5 * h, m);
    mpz_mul(t, p, q);
    EXPECT_EQ(mpz_cmp(t, n), 0) << "n = p q";
    mpz_sub_ui(t, p, 1);
    mpz_mod(t, d, t);
    EXPECT_EQ(mpz_cmp(t, dp), 0) << "d mod p-1";
    mpz_sub_ui(t, q, 1);
    mpz_mod(t, d, t);
    EXPECT_EQ(mpz_cmp(t, dq), 0) << "d mod q-1";
    mpz_mul(t, qinv, q);
    mpz_mod(t, t, p);
    EXPECT_EQ(mpz_cmp_ui(t, 1), 0) << "q^-1 mod p";
    mpz_mul(t, d, e);
    mpz_sub_ui(q, q, 1);
    mpz_mod(q, t, q);
    EXPECT_EQ(mpz_cmp_ui(q, 1), 0) << "d e = 1 mod q-1";
    mpz_clears(n, e, p, q, dp, dq, qinv, d, t, nullptr);
}

TEST_F(CryptoApi, PrivateBlobRoundTrip) {
    HCRYPTKEY key = 0;
    ASSERT_EQ(CryptGenKey(verify_.get(), AT_KEYEXCHANGE, 512u << 16 | CRYPT_EXPORTABLE, &key),
              kTrue);
    const Bytes privateBlob = checkOutputRule(
        [&](std::uint8_t* d, Dword* l) { return CryptExportKey(key, 0, PRIVATEKEYBLOB, 0, d, l); },
        308);
    EXPECT_EQ(Bytes(privateBlob.begin(), privateBlob.begin() + 8),
              (Bytes{PRIVATEKEYBLOB, 2, 0, 0, 0x00, 0xA4, 0, 0}));
    EXPECT_EQ(Bytes(privateBlob.begin() + 12, privateBlob.begin() + 20),
              (Bytes{0x00, 0x02, 0, 0, 0x01, 0x00, 0x01, 0x00}));
    expectConsistentPrivateBlob(privateBlob, 512);
    const Bytes publicBlob = checkOutputRule(
        [&](std::uint8_t* d, Dword* l) { return CryptExportKey(key, 0, PUBLICKEYBLOB, 0, d, l); },
        84);
    EXPECT_EQ(Bytes(publicBlob.begin(), publicBlob.begin() + 12),
              (Bytes{PUBLICKEYBLOB, 2, 0, 0, 0x00, 0xA4, 0, 0, 'R', 'S', 'A', '1'}));
    EXPECT_EQ(Bytes(publicBlob.begin() + 20, publicBlob.end()),
              Bytes(privateBlob.begin() + 20, privateBlob.begin() + 84));

    // Imported elsewhere it is the same key: same blobs, and it opens what
    // was sealed under the original's public half.
    Keyset keyset(u"round-trip");
    const HCRYPTKEY copy = importBlob(keyset.get(), privateBlob, 0, CRYPT_EXPORTABLE);
    EXPECT_EQ(exportBlob(copy, PUBLICKEYBLOB), publicBlob);
    EXPECT_EQ(exportBlob(copy, PRIVATEKEYBLOB), privateBlob);
    HCRYPTKEY slot = 0;
    ASSERT_EQ(CryptGetUserKey(keyset.get(), AT_KEYEXCHANGE, &slot), kTrue);
    EXPECT_EQ(exportBlob(slot, PUBLICKEYBLOB), publicBlob);

    HCRYPTKEY aes = 0;
    ASSERT_EQ(CryptGenKey(verify_.get(), CALG_AES_256, CRYPT_EXPORTABLE, &aes), kTrue);
    const Bytes wrapped = exportBlob(aes, SIMPLEBLOB, key);
    ASSERT_EQ(wrapped.size(), 76u);
    const HCRYPTKEY opened = importBlob(keyset.get(), wrapped, copy);
    const Bytes plain = bytesOf("a message for both ends of the exchange");
    EXPECT_EQ(encrypt(opened, plain, true), encrypt(aes, plain, true));

    // Without CRYPT_EXPORTABLE the private half stays in.
    const HCRYPTKEY locked = importBlob(keyset.get(), privateBlob);
    Dword length = 0;
    EXPECT_EQ(CryptExportKey(locked, 0, PRIVATEKEYBLOB, 0, nullptr, &length), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY_STATE);
    EXPECT_EQ(exportBlob(locked, PUBLICKEYBLOB), publicBlob);
    EXPECT_EQ(CryptExportKey(key, aes, PRIVATEKEYBLOB, 0, nullptr, &length), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
    for (const HCRYPTKEY each : {key, copy, slot, aes, opened, locked}) {
        EXPECT_EQ(CryptDestroyKey(each), kTrue);
    }
}

TEST_F(CryptoApi, SimpleBlobExchangeWithGeneratedKeys) {
    // The receiver's exchange pair never leaves its container; the sender
    // has only its public blob.
    Keyset receiver(u"receiver");
    HCRYPTKEY exchange = 0;
    ASSERT_EQ(CryptGenKey(receiver.get(), AT_KEYEXCHANGE, 0, &exchange), kTrue);
    const Bytes publicBlob = exportBlob(exchange, PUBLICKEYBLOB);
    ASSERT_EQ(publicBlob.size(), 148u);
    Provider sender;
    const HCRYPTKEY receiverPublic = importBlob(sender.get(), publicBlob);
    EXPECT_EQ(keyParam(receiverPublic, KP_KEYLEN), 1024u);
    const Dword rows[] = {CALG_DES,     CALG_3DES_112, CALG_3DES,   CALG_RC4,
                          CALG_AES_128, CALG_AES_192,  CALG_AES_256};
    for (const AlgId algorithm : rows) {
        HCRYPTKEY session = 0;
        ASSERT_EQ(CryptGenKey(sender.get(), algorithm, CRYPT_EXPORTABLE, &session), kTrue);
        const Bytes blob = exportBlob(session, SIMPLEBLOB, receiverPublic);
        ASSERT_EQ(blob.size(), 140u);
        HCRYPTKEY unusable = 0;
        EXPECT_EQ(CryptImportKey(sender.get(), blob.data(), 140, receiverPublic, 0, &unusable),
                  kFalse)
            << "a public key cannot open it";
        EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
        HCRYPTKEY stored = 0;
        ASSERT_EQ(CryptGetUserKey(receiver.get(), AT_KEYEXCHANGE, &stored), kTrue);
        const HCRYPTKEY received = importBlob(receiver.get(), blob, stored);
        const Bytes plain = patternBytes(50, static_cast<std::uint8_t>(algorithm));
        const Bytes sealed = encrypt(session, plain, true);
        EXPECT_EQ(decrypt(received, sealed, true), plain) << std::hex << algorithm;
        for (const HCRYPTKEY each : {session, stored, received}) {
            CryptDestroyKey(each);
        }
    }
    CryptDestroyKey(receiverPublic);
    CryptDestroyKey(exchange);
}

TEST_F(CryptoApi, ImportedPrivateKeyFillsTheSlotOfItsAlgorithm) {
    Keyset keyset(u"imported-slot");
    const HCRYPTKEY key = importBlob(keyset.get(), identityExchangeBlob(CALG_RSA_SIGN));
    HCRYPTKEY found = 0;
    EXPECT_EQ(CryptGetUserKey(keyset.get(), AT_KEYEXCHANGE, &found), kFalse);
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    ASSERT_EQ(CryptGetUserKey(keyset.get(), AT_SIGNATURE, &found), kTrue);
    EXPECT_EQ(exportBlob(found, PUBLICKEYBLOB), exportBlob(key, PUBLICKEYBLOB));
    // A public blob is a key of its own, not the container's.
    const HCRYPTKEY publicOnly = importBlob(
        keyset.get(), exportBlob(importBlob(verify_.get(), identityExchangeBlob()), PUBLICKEYBLOB));
    EXPECT_EQ(keyParam(publicOnly, KP_ALGID), CALG_RSA_KEYX);
    EXPECT_EQ(CryptGetUserKey(keyset.get(), AT_KEYEXCHANGE, &found), kFalse);
    EXPECT_EQ(GetLastError(), NTE_NO_KEY);
    Dword length = 0;
    EXPECT_EQ(CryptExportKey(publicOnly, 0, PRIVATEKEYBLOB, 0, nullptr, &length), kFalse);
    EXPECT_EQ(GetLastError(), NTE_BAD_KEY);
}

TEST_F(CryptoApi, MalformedRsaBlobs) {
    const Bytes privateBlob = identityExchangeBlob();
    HCRYPTKEY imported = 0;
    ASSERT_EQ(CryptImportKey(verify_.get(), privateBlob.data(), 308, 0, 0, &imported), kTrue);
    const Bytes publicBlob = exportBlob(imported, PUBLICKEYBLOB);
    const auto with = [](Bytes blob, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
        std::copy(bytes.begin(), bytes.end(), blob.begin() + static_cast<long>(at));
        return blob;
    };
    const auto resized = [](Bytes blob, std::size_t size) {
        blob.resize(size, 0);
        return blob;
    };
    Bytes zeroModulus = publicBlob;
    std::fill(zeroModulus.begin() + 20, zeroModulus.end(), 0);
    Bytes zeroExponent = privateBlob;
    std::fill(zeroExponent.end() - 64, zeroExponent.end(), 0);
    struct Row {
        const char* what;
        Bytes blob;
        HCRYPTKEY importKey;
        Dword error;
    } const rows[] = {
        {"private: magic RSA1", with(privateBlob, 8, {'R', 'S', 'A', '1'}), 0, NTE_BAD_DATA},
        {"public: magic RSA2", with(publicBlob, 8, {'R', 'S', 'A', '2'}), 0, NTE_BAD_DATA},
        {"private: one byte short", resized(privateBlob, 307), 0, NTE_BAD_LEN},
        {"private: one byte long", resized(privateBlob, 309), 0, NTE_BAD_LEN},
        {"public: one byte short", resized(publicBlob, 83), 0, NTE_BAD_LEN},
        {"public: header only", resized(publicBlob, 8), 0, NTE_BAD_LEN},
        {"private: bit length 1024 over 512 bits of data", with(privateBlob, 12, {0, 4}), 0,
         NTE_BAD_LEN},
        {"private: bit length 520", with(privateBlob, 12, {8, 2}), 0, NTE_BAD_DATA},
        {"public: bit length 256", with(publicBlob, 12, {0, 1}), 0, NTE_BAD_DATA},
        {"public: exponent 0", with(publicBlob, 16, {0, 0, 0, 0}), 0, NTE_BAD_DATA},
        {"public: modulus 0", zeroModulus, 0, NTE_BAD_DATA},
        {"private: private exponent 0", zeroExponent, 0, NTE_BAD_DATA},
        {"private: AES algorithm", with(privateBlob, 4, {0x0E, 0x66}), 0, NTE_BAD_ALGID},
        {"public: version 3", with(publicBlob, 1, {3}), 0, NTE_BAD_VER},
        {"type 0x0C", with(publicBlob, 0, {0x0C}), 0, NTE_BAD_TYPE},
        {"private under an import key", privateBlob, imported, NTE_BAD_KEY},
    };
    for (const Row& row : rows) {
        HCRYPTKEY key = 0x55;
        SetLastError(0);
        EXPECT_EQ(CryptImportKey(verify_.get(), row.blob.data(),
                                 static_cast<Dword>(row.blob.size()), row.importKey, 0, &key),
                  kFalse)
            << row.what;
        EXPECT_EQ(GetLastError(), row.error) << row.what;
        EXPECT_EQ(key, 0x55u) << row.what;
    }
    CryptDestroyKey(imported);
}

} // namespace
