#include "control/ControlLog.h"
#include "control/crypto/QxCAPILib.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <limits>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using capi::HCRYPTPROV;

// ---- Memory and the output record --------------------------------------------

TEST(QxMemory, MallocGivesZeroFilledBlocks) {
    for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}}) {
        auto* block = static_cast<std::uint8_t*>(qxxCAPIMalloc(size));
        ASSERT_NE(block, nullptr) << size;
        EXPECT_EQ(Bytes(block, block + size), Bytes(size, 0));
        qxxCAPIFree(block);
    }
    qxxCAPIFree(nullptr);
}

TEST(QxMemory, FreeDataEmptiesTheRecord) {
    QxBlob blob{16, static_cast<std::uint8_t*>(qxxCAPIMalloc(16))};
    qxxCAPIFreeData(&blob);
    EXPECT_EQ(blob.pbData, nullptr);
    EXPECT_EQ(blob.cbData, 0u);
    qxxCAPIFreeData(&blob);
    qxxCAPIFreeData(nullptr);
}

TEST(QxMemory, ReverseBytesSwapsFirstWithLast) {
    const struct {
        Bytes in;
        Bytes out;
    } cases[] = {{{}, {}}, {{1}, {1}}, {{1, 2}, {2, 1}}, {{1, 2, 3, 4, 5}, {5, 4, 3, 2, 1}}};
    for (auto c : cases) {
        QxBlob blob{static_cast<std::uint32_t>(c.in.size()), c.in.data()};
        qxxCAPIReverseBytes(&blob);
        EXPECT_EQ(c.in, c.out);
    }
    qxxCAPIReverseBytes(nullptr);
}

TEST(QxOutputRule, AllocatesOrChecksTheCallersCapacity) {
    std::uint8_t buffer[16];
    constexpr std::size_t kHuge = std::size_t{1} << 32;
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    const struct {
        const char* label;
        std::uint8_t* data;
        std::uint32_t capacity;
        std::size_t size;
        std::size_t extra;
        int rc;
        std::uint32_t countAfter;
        bool allocated;
    } cases[] = {
        {"allocate", nullptr, 0, 10, 1, kQxOk, 0, true},
        {"allocate nothing", nullptr, 0, 0, 0, kQxOk, 0, true},
        {"one short", buffer, 9, 10, 1, kQxBufferTooSmall, 10, false},
        {"exact", buffer, 10, 10, 1, kQxOk, 10, false},
        {"larger", buffer, 16, 10, 1, kQxOk, 16, false},
        {"over the count, allocated", nullptr, 0, kHuge, 0, kQxNoMemory, 0, false},
        {"over the count, caller's", buffer, 16, kHuge, 0, kQxNoMemory, 16, false},
        // size + extra would wrap to a small block.
        {"wrapping extra", nullptr, 0, 10, kMax - 5, kQxNoMemory, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        QxBlob out{c.capacity, c.data};
        bool allocated = !c.allocated;
        EXPECT_EQ(qxxCAPIPrepareOutput(&out, c.size, c.extra, &allocated), c.rc);
        EXPECT_EQ(allocated, c.allocated);
        EXPECT_EQ(out.cbData, c.countAfter);
        if (c.allocated) {
            ASSERT_NE(out.pbData, nullptr);
            const std::size_t total = c.size + c.extra;
            EXPECT_EQ(Bytes(out.pbData, out.pbData + total), Bytes(total, 0));
            qxxCAPIFree(out.pbData);
        } else {
            EXPECT_EQ(out.pbData, c.data);
        }
    }
    EXPECT_EQ(qxxCAPIPrepareOutput(nullptr, 1, 0, nullptr), kQxBadArgument);
}

// ---- Providers -------------------------------------------------------------

class QxProvider : public ::testing::Test {
protected:
    void SetUp() override {
        capi::testing::clearFailures();
        QxCAPI_ForgetDefaultForTest();
    }
    void TearDown() override {
        capi::testing::clearFailures();
        QxCAPI_ForgetDefaultForTest();
    }

    // A container of its own for each case.
    std::u16string fresh() {
        static int counter = 0;
        const std::string name = "qx.test.container." + std::to_string(++counter);
        return std::u16string(name.begin(), name.end());
    }

    static void makeContainer(const std::u16string& name, std::u16string_view provider,
                              capi::Dword type, capi::Dword flags) {
        HCRYPTPROV made = 0;
        ASSERT_TRUE(capi::CryptAcquireContextW(&made, name.c_str(), provider.data(), type,
                                               flags | capi::CRYPT_NEWKEYSET));
        capi::CryptReleaseContext(made, 0);
    }

    // Whether a failure queued for the call is still waiting, which leaves
    // the seam empty either way.
    static bool failureWaiting(const char* function, HCRYPTPROV provider) {
        const std::uint8_t descriptor[8] = {};
        if (std::string(function) == "CryptSetProvParam") {
            return !capi::CryptSetProvParam(provider, capi::PP_KEYSET_SEC_DESCR, descriptor,
                                            capi::DACL_SECURITY_INFORMATION);
        }
        HCRYPTPROV probe = 0;
        if (!capi::CryptAcquireContextW(&probe, nullptr, nullptr, capi::PROV_RSA_AES,
                                        capi::CRYPT_VERIFYCONTEXT)) {
            return true; // GetLastError tells which failure it was
        }
        capi::CryptReleaseContext(probe, 0);
        return false;
    }

    static std::u16string takeName(char16_t* name) {
        std::u16string out = name != nullptr ? std::u16string(name) : u"(none)";
        qxxCAPIFree(name);
        return out;
    }
};

// The roads through the search, driven by failures queued for the platform
// calls. The calls for a named container are, per provider: the key set of
// the user, its retry with CRYPT_NEWKEYSET, then the machine's and its retry.
TEST_F(QxProvider, AcquisitionTriesKeySetsRetriesAndProvidersInOrder) {
    enum Existing { kNone, kUserSet, kMachineSet, kUserSetOfSecond };
    const capi::Dword kFail = capi::NTE_FAIL;
    const struct {
        const char* label;
        Existing existing;
        int create;
        std::vector<capi::Dword> failures;
        bool acquired;
        std::u16string_view provider;
        bool nullDacl; // a new machine key set was made
    } cases[] = {
        {"existing user set", kUserSet, 0, {}, true, capi::kEnhancedRsaAesProvider, false},
        {"existing machine set", kMachineSet, 0, {}, true, capi::kEnhancedRsaAesProvider, false},
        {"new user set", kNone, 1, {}, true, capi::kEnhancedRsaAesProvider, false},
        {"missing, no create", kNone, 0, {}, false, {}, false},
        {"next provider",
         kUserSetOfSecond,
         0,
         {},
         true,
         capi::kEnhancedRsaAesPrototypeProvider,
         false},
        // The user set fails for another reason: no retry, the machine set
        // is made and opened to every account.
        {"new machine set", kNone, 1, {kFail}, true, capi::kEnhancedRsaAesProvider, true},
        // Each of the three codes of a missing key set makes a retry, which
        // takes the second queued failure; the machine set is made instead.
        {"bad keyset retried",
         kUserSet,
         1,
         {capi::NTE_BAD_KEYSET, kFail},
         true,
         capi::kEnhancedRsaAesProvider,
         true},
        {"keyset not defined retried",
         kUserSet,
         1,
         {capi::NTE_KEYSET_NOT_DEF, kFail},
         true,
         capi::kEnhancedRsaAesProvider,
         true},
        {"bad keyset parameter retried",
         kUserSet,
         1,
         {capi::NTE_BAD_KEYSET_PARAM, kFail},
         true,
         capi::kEnhancedRsaAesProvider,
         true},
        // Another code makes no retry: the second failure hits the machine
        // set, and the next provider makes a user set.
        {"other code not retried",
         kUserSet,
         1,
         {kFail, kFail},
         true,
         capi::kEnhancedRsaAesPrototypeProvider,
         false},
        {"no retry without create", kUserSet, 0, {capi::NTE_BAD_KEYSET}, false, {}, false},
        {"all providers fail", kNone, 1, std::vector<capi::Dword>(6, kFail), false, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        capi::testing::clearFailures();
        const std::u16string container = fresh();
        if (c.existing == kUserSet) {
            makeContainer(container, capi::kEnhancedRsaAesProvider, capi::PROV_RSA_AES, 0);
        } else if (c.existing == kMachineSet) {
            makeContainer(container, capi::kEnhancedRsaAesProvider, capi::PROV_RSA_AES,
                          capi::CRYPT_MACHINE_KEYSET);
        } else if (c.existing == kUserSetOfSecond) {
            makeContainer(container, capi::kEnhancedRsaAesPrototypeProvider, capi::PROV_RSA_AES, 0);
        }
        for (const capi::Dword failure : c.failures) {
            capi::testing::failNextCall("CryptAcquireContextW", failure);
        }
        capi::testing::failNextCall("CryptSetProvParam", capi::NTE_FAIL);

        char16_t* name = nullptr;
        const HCRYPTPROV provider = QxCAPI_AcquireContext(container.c_str(), c.create, &name);
        EXPECT_EQ(provider != 0, c.acquired);
        EXPECT_FALSE(failureWaiting("CryptAcquireContextW", 0)) << "a queued failure was unused";
        if (!c.acquired) {
            EXPECT_EQ(name, nullptr);
            continue;
        }
        EXPECT_EQ(takeName(name), c.provider);
        // The null DACL's refusal does not fail the acquisition.
        EXPECT_EQ(!failureWaiting("CryptSetProvParam", provider), c.nullDacl);
        QxCAPI_ReleaseContext(provider);
    }
}

TEST_F(QxProvider, AProviderAskedForByNameIsTheOnlyOneTried) {
    const struct {
        const char16_t* wanted;
        bool acquired;
    } cases[] = {
        {capi::kEnhancedProvider.data(), true},
        {capi::kEnhancedRsaAesPrototypeProvider.data(), true},
        // Compared exactly, though the platform itself ignores the case.
        {u"microsoft enhanced cryptographic provider v1.0", false},
        {u"Some Other Provider", false},
    };
    for (const auto& c : cases) {
        const std::u16string container = fresh();
        char16_t* name = const_cast<char16_t*>(c.wanted);
        const HCRYPTPROV provider = QxCAPI_AcquireContext(container.c_str(), 1, &name);
        EXPECT_EQ(provider != 0, c.acquired);
        EXPECT_EQ(name, c.wanted) << "the name asked for is not replaced";
        if (provider != 0) {
            // The container was made with that provider and no other.
            HCRYPTPROV check = 0;
            const capi::Dword type = std::u16string_view(c.wanted) == capi::kEnhancedProvider
                                         ? capi::PROV_RSA_FULL
                                         : capi::PROV_RSA_AES;
            EXPECT_TRUE(capi::CryptAcquireContextW(&check, container.c_str(), c.wanted, type, 0));
            capi::CryptReleaseContext(check, 0);
            EXPECT_FALSE(capi::CryptAcquireContextW(&check, container.c_str(),
                                                    capi::kEnhancedRsaAesProvider.data(),
                                                    capi::PROV_RSA_AES, 0));
            QxCAPI_ReleaseContext(provider);
        }
    }
}

TEST_F(QxProvider, TheDefaultContainerTriesAVerifyContextFirst) {
    char16_t* name = nullptr;
    const HCRYPTPROV first = QxCAPI_AcquireContext(nullptr, 1, &name);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(takeName(name), capi::kEnhancedRsaAesProvider);

    // Without create and with the first provider's two verify contexts and
    // two key sets refused, the second provider's verify context is taken.
    QxCAPI_ForgetDefaultForTest();
    for (int i = 0; i < 4; ++i) {
        capi::testing::failNextCall("CryptAcquireContextW", capi::NTE_FAIL);
    }
    name = nullptr;
    EXPECT_NE(QxCAPI_AcquireContext(nullptr, 0, &name), 0u);
    EXPECT_EQ(takeName(name), capi::kEnhancedRsaAesPrototypeProvider);
}

TEST_F(QxProvider, ASecondDefaultAcquisitionReturnsTheCachedProviderWithoutAPlatformCall) {
    const HCRYPTPROV first = QxCAPI_GetContext(nullptr, 1);
    ASSERT_NE(first, 0u);
    capi::testing::failNextCall("CryptAcquireContextW", capi::NTE_FAIL);

    EXPECT_EQ(QxCAPI_GetContext(nullptr, 1), first);
    char16_t* name = nullptr;
    EXPECT_EQ(QxCAPI_AcquireContext(nullptr, 0, &name), first);
    EXPECT_EQ(name, nullptr) << "the cached provider's name is not filled in";
    char16_t other[] = u"Some Other Provider";
    name = other;
    EXPECT_EQ(QxCAPI_AcquireContext(nullptr, 0, &name), first);

    EXPECT_TRUE(failureWaiting("CryptAcquireContextW", 0));
    EXPECT_EQ(capi::GetLastError(), capi::NTE_FAIL);
}

TEST_F(QxProvider, ConcurrentFirstAcquisitionsShareOneProvider) {
    constexpr int kThreads = 8;
    std::atomic<bool> go{false};
    std::vector<HCRYPTPROV> got(kThreads, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            while (!go) {
                std::this_thread::yield();
            }
            got[i] = QxCAPI_GetContext(nullptr, 1);
        });
    }
    go = true;
    for (auto& t : threads) {
        t.join();
    }
    for (const HCRYPTPROV provider : got) {
        EXPECT_NE(provider, 0u);
        EXPECT_EQ(provider, got[0]);
    }
}

TEST_F(QxProvider, ReleaseKeepsTheCachedProvider) {
    std::uint8_t random[8];
    const HCRYPTPROV cached = QxCAPI_GetContext(nullptr, 1);
    ASSERT_NE(cached, 0u);
    QxCAPI_ReleaseContext(cached);
    EXPECT_TRUE(capi::CryptGenRandom(cached, sizeof random, random));

    const std::u16string container = fresh();
    const HCRYPTPROV named = QxCAPI_GetContext(container.c_str(), 1);
    ASSERT_NE(named, 0u);
    EXPECT_TRUE(capi::CryptGenRandom(named, sizeof random, random));
    QxCAPI_ReleaseContext(named);
    EXPECT_FALSE(capi::CryptGenRandom(named, sizeof random, random));
    QxCAPI_ReleaseContext(0);
}

TEST_F(QxProvider, NullDaclReportsWhichStepRefused) {
    const HCRYPTPROV provider = QxCAPI_GetContext(nullptr, 1);
    ASSERT_NE(provider, 0u);
    const struct {
        const char* function;
        int rc;
    } cases[] = {
        {nullptr, 0},
        {"InitializeSecurityDescriptor", -1},
        {"SetSecurityDescriptorDacl", -2},
        {"CryptSetProvParam", -3},
    };
    for (const auto& c : cases) {
        if (c.function != nullptr) {
            capi::testing::failNextCall(c.function, capi::NTE_FAIL);
        }
        EXPECT_EQ(qxxCAPISetNullDacl(provider), c.rc) << (c.function ? c.function : "none");
    }
    EXPECT_EQ(qxxCAPISetNullDacl(0), -3);
}

// ---- Handles ---------------------------------------------------------------

std::vector<QxCAPIHandle*> freedByRow;
void recordAndFree(QxCAPIHandle* handle) {
    freedByRow.push_back(handle);
    qxxCAPIFree(handle);
}

QxCAPIASN1Method rowOf(const char* name, std::uint32_t type) {
    QxCAPIASN1Method row{};
    row.name = name;
    row.handleType = type;
    row.freeHandle = recordAndFree;
    return row;
}

TEST_F(QxProvider, CreateHandleStoresItsFields) {
    int object = 0;
    const QxCAPIASN1Method row = rowOf("CERTIFICATE", kQxHandleCertificate);
    QxCAPIHandle* handle = nullptr;
    ASSERT_EQ(qxxCAPICreateHandle(&handle, kQxHandleCertificate, &object, &row, 77), kQxOk);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(handle->type, kQxHandleCertificate);
    EXPECT_EQ(handle->object, &object);
    EXPECT_EQ(handle->row, &row);
    EXPECT_EQ(handle->extra, 77u);
    qxxCAPIFreeHandle(handle);
    EXPECT_EQ(qxxCAPICreateHandle(nullptr, kQxHandleHash, nullptr, nullptr, 0), kQxBadArgument);
    qxxCAPIFreeHandle(nullptr);
}

TEST_F(QxProvider, ARowsFreeFunctionTakesPrecedenceOverTheType) {
    freedByRow.clear();
    // Not a hash object: releasing it by its type would go wrong.
    int notAHash = 0;
    const QxCAPIASN1Method row = rowOf("PKCS7", kQxHandleHash);
    QxCAPIHandle* handle = nullptr;
    ASSERT_EQ(qxxCAPICreateHandle(&handle, kQxHandleHash, &notAHash, &row, 0), kQxOk);
    qxxCAPIFreeHandle(handle);
    ASSERT_EQ(freedByRow.size(), 1u);
    EXPECT_EQ(freedByRow[0], handle);
}

template <typename T>
T* allocated(const T& value) {
    auto* object = static_cast<T*>(qxxCAPIMalloc(sizeof(T)));
    *object = value;
    return object;
}

TEST_F(QxProvider, FreeHandleReleasesHashKeyAndHmacObjects) {
    const std::u16string container = fresh();
    const HCRYPTPROV cached = QxCAPI_GetContext(nullptr, 1);
    ASSERT_NE(cached, 0u);
    const std::uint8_t data[3] = {1, 2, 3};
    std::uint8_t random[4];

    for (const bool ownProvider : {true, false}) {
        SCOPED_TRACE(ownProvider ? "own provider" : "cached provider");
        const auto provider = [&] {
            return ownProvider ? QxCAPI_GetContext(container.c_str(), 1) : cached;
        };
        const auto released = [&](HCRYPTPROV p) {
            return !capi::CryptGenRandom(p, sizeof random, random);
        };

        const HCRYPTPROV hashProvider = provider();
        capi::HCRYPTHASH hash = 0;
        ASSERT_TRUE(capi::CryptCreateHash(hashProvider, capi::CALG_SHA_256, 0, 0, &hash));
        QxCAPIHandle* handle = nullptr;
        ASSERT_EQ(qxxCAPICreateHandle(&handle, kQxHandleHash,
                                      allocated(QxHashObject{hashProvider, hash}), nullptr, 0),
                  kQxOk);
        qxxCAPIFreeHandle(handle);
        EXPECT_FALSE(capi::CryptHashData(hash, data, sizeof data, 0)) << "hash not destroyed";
        EXPECT_EQ(released(hashProvider), ownProvider);

        const HCRYPTPROV keyProvider = provider();
        capi::HCRYPTKEY key = 0;
        ASSERT_TRUE(capi::CryptGenKey(keyProvider, capi::CALG_AES_128, 0, &key));
        QxSymKeyObject symKey{};
        symKey.provider = keyProvider;
        symKey.key = key;
        symKey.blockLength = 16;
        symKey.ivLength = 16;
        ASSERT_EQ(qxxCAPICreateHandle(&handle, kQxHandleSymKey, allocated(symKey), nullptr, 0),
                  kQxOk);
        qxxCAPIFreeHandle(handle);
        std::uint8_t algorithm[4];
        capi::Dword length = sizeof algorithm;
        EXPECT_FALSE(capi::CryptGetKeyParam(key, capi::KP_ALGID, algorithm, &length, 0))
            << "key not destroyed";
        EXPECT_EQ(released(keyProvider), ownProvider);

        const HCRYPTPROV hmacProvider = provider();
        capi::HCRYPTHASH inner = 0;
        capi::HCRYPTHASH outer = 0;
        ASSERT_TRUE(capi::CryptCreateHash(hmacProvider, capi::CALG_SHA1, 0, 0, &inner));
        ASSERT_TRUE(capi::CryptCreateHash(hmacProvider, capi::CALG_SHA1, 0, 0, &outer));
        ASSERT_EQ(qxxCAPICreateHandle(&handle, kQxHandleHmac,
                                      allocated(QxHmacObject{hmacProvider, inner, outer, 64, 20}),
                                      nullptr, 0),
                  kQxOk);
        qxxCAPIFreeHandle(handle);
        EXPECT_FALSE(capi::CryptHashData(inner, data, sizeof data, 0));
        EXPECT_FALSE(capi::CryptHashData(outer, data, sizeof data, 0));
        EXPECT_EQ(released(hmacProvider), ownProvider);
    }
}

// The store list is freed (the leak checker of the sanitized build sees it);
// an object of a type without a release is left alone (a stack object,
// which freeing would break).
TEST_F(QxProvider, FreeHandleOfStoreListsAndOtherTypes) {
    QxCAPIHandle* handle = nullptr;
    auto* list = static_cast<std::uint32_t*>(qxxCAPIMalloc(sizeof(std::uint32_t)));
    ASSERT_EQ(qxxCAPICreateHandle(&handle, kQxHandleStoreList, list, nullptr, 0), kQxOk);
    qxxCAPIFreeHandle(handle);

    int onStack = 5;
    for (const std::uint32_t type : {kQxHandleCertificate, kQxHandlePublicKey, 3u, 99u}) {
        ASSERT_EQ(qxxCAPICreateHandle(&handle, type, &onStack, nullptr, 0), kQxOk);
        qxxCAPIFreeHandle(handle);
    }
    EXPECT_EQ(onStack, 5);
}

// ---- Error lines -----------------------------------------------------------

class QxErrorLines : public ::testing::Test {
protected:
    void SetUp() override { Log_ResetForTest(); }
    void TearDown() override { Log_ResetForTest(); }

    std::string init(int level) {
        std::filesystem::create_directories(box.root() / "C");
        box.write("Windows/Tavelo.ini",
                  "[Tavelo]\nLog File=C:\\crypto.log\nLog Level=" + std::to_string(level) + "\n");
        EXPECT_EQ(Log_Init("Tavelo", "Tavelo.ini"), 0);
        const std::time_t now = std::time(nullptr);
        std::tm t{};
        localtime_r(&now, &t);
        char date[16];
        std::strftime(date, sizeof date, "%Y%m%d", &t);
        return (box.root() / "C" / ("crypto_" + std::string(date) + ".log")).string();
    }
    // Each entry is the text after the line prefix, up to the next prefix.
    static std::vector<std::string> entries(const std::string& path) {
        const std::string text = testing_support::Sandbox::read(path);
        const std::string marker = "ERROR [";
        std::vector<std::string> out;
        for (std::size_t at = text.find(marker); at != std::string::npos;) {
            const std::size_t start = text.find("] ", at) + 2;
            const std::size_t next = text.find(marker, start);
            std::string entry = text.substr(start, next == std::string::npos ? next : next - start);
            // Up to the line feed that ends the entry: the next prefix
            // begins a line with its date.
            if (next != std::string::npos) {
                entry.erase(entry.rfind('\n'));
            } else if (!entry.empty() && entry.back() == '\n') {
                entry.pop_back();
            }
            out.push_back(entry);
            at = next;
        }
        return out;
    }

    testing_support::Sandbox box;
};

TEST_F(QxErrorLines, EachHelperWritesItsFormAtErrorLevel) {
    const std::string path = init(kLogError);
    qxxCAPILogMalloc("QxCAPICoder", 120, "qxbase64_decode");
    capi::SetLastError(capi::NTE_BAD_KEYSET);
    qxxCAPILogCall("QxXCAPI", 310, "QxXCAPI_HashInit", "CryptCreateHash");
    qxxCAPILogSymKey("QxCAPISymKey", 45, "CryptImportKey", capi::NTE_BAD_TYPE);
    // A provider that cannot be had leaves its line too.
    char16_t wanted[] = u"Nobody's Provider";
    char16_t* name = wanted;
    EXPECT_EQ(QxCAPI_AcquireContext(u"qx.lines.test", 0, &name), 0u);

    const auto got = entries(path);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "QxCAPICoder:120:\nqxbase64_decode:malloc NULL");
    EXPECT_EQ(got[1], "QxXCAPI:310:\nQxXCAPI_HashInit:CryptCreateHash:80090016");
    EXPECT_EQ(got[2], "QxCAPISymKey:45:\nCryptImportKey:8009000A");
    EXPECT_TRUE(got[3].starts_with("QxCAPILib:")) << got[3];
    EXPECT_NE(got[3].find("\nQxCAPI_AcquireContext:CryptAcquireContextW:"), std::string::npos);
}

TEST_F(QxErrorLines, NothingIsWrittenBelowErrorLevel) {
    const std::string path = init(kLogFatal);
    qxxCAPILogMalloc("QxCAPICoder", 1, "f");
    qxxCAPILogCall("QxXCAPI", 2, "g", "CryptHashData");
    qxxCAPILogSymKey("QxCAPISymKey", 3, "CryptImportKey", 1);
    EXPECT_FALSE(std::filesystem::exists(path));
}

} // namespace
