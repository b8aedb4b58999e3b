// Private key objects living side by side: every decoded key goes into the
// same slot of the same container, and the provider signs with the slot, not
// with the key a call names. Each object must still sign, decrypt and export
// with its own key, whatever was decoded, generated or freed in between.

#include "control/crypto/QxCAPICipher.h"
#include "control/crypto/QxXCAPI.h"
#include "tests/control/crypto/AsymTestSupport.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <functional>
#include <sstream>
#include <thread>

namespace {

using namespace asymtest;

// Two key pairs of different sizes, and their public key objects.
class QxKeyObjects : public symtest::LoggedTest {
protected:
    static constexpr std::size_t kKeys = 2;

    void SetUp() override {
        LoggedTest::SetUp();
        for (std::size_t i = 0; i < kKeys; ++i) {
            ASSERT_EQ(decodePublic(numbers(i).publicDer(), public_[i]), kQxOk);
        }
    }

    static const RsaNumbers& numbers(std::size_t which) {
        static const std::array<RsaNumbers, kKeys> keys = [] {
            SeededKeys seeded(23);
            const RsaNumbers first = seeded.next(1024);
            return std::array<RsaNumbers, kKeys>{first, seeded.next(768)};
        }();
        return keys.at(which);
    }

    // A SHA-256 signature by object of message that only its own public key
    // accepts.
    void expectOwnSignature(QxCAPIHandle* object, std::size_t own, const Bytes& message) {
        Bytes signature;
        ASSERT_EQ(sign(object, sha256(message), kQxHashSha256, signature), kQxOk);
        EXPECT_EQ(signature.size(), numbers(own).modulusBytes());
        EXPECT_EQ(verify(public_[own].get(), signature, sha256(message), kQxHashSha256), kQxOk)
            << "signed by key " << own;
        EXPECT_EQ(verify(public_[1 - own].get(), signature, sha256(message), kQxHashSha256),
                  kQxBadSignature)
            << "not by key " << 1 - own;
    }

    std::array<Handle, kKeys> public_;
};

// Steps: "A" decodes key 0 into object a (replacing what a held), "a" signs
// with object a, "-a" frees object a; likewise B, b, -b for key 1.
TEST_F(QxKeyObjects, EachObjectSignsWithItsOwnKeyWhateverWasDecodedOrFreedMeanwhile) {
    const char* const sequences[] = {
        "A B a b",         // the older first
        "A B b a",         // the newer first
        "B A a b",         // decoded the other way round
        "A B a b a b b a", // interleaved
        "A a B a b a",     // the older signed before and after the newer arrives
        "A B -b a",        // the newer freed, the older still signs
        "A B -a b",        // the older freed, the newer still signs
        "A B -a A b a",    // the older decoded anew after being freed
        "A B B a b",       // the newer decoded twice
    };
    for (const char* sequence : sequences) {
        SCOPED_TRACE(sequence);
        std::array<Handle, kKeys> objects;
        std::istringstream steps(sequence);
        std::string step;
        int signatures = 0;
        while (steps >> step) {
            const bool free = step[0] == '-';
            const char name = free ? step[1] : step[0];
            const bool decode = name >= 'A' && name <= 'Z';
            const auto which = static_cast<std::size_t>(decode ? name - 'A' : name - 'a');
            ASSERT_LT(which, kKeys);
            if (free) {
                objects[which].reset();
            } else if (decode) {
                ASSERT_EQ(decodePrivate(numbers(which).privateDer(), objects[which]), kQxOk);
            } else {
                ASSERT_NE(objects[which], nullptr);
                SCOPED_TRACE(step);
                expectOwnSignature(objects[which].get(), which,
                                   symtest::bytesOf("step " + std::to_string(++signatures)));
            }
        }
    }
}

// Every operation of a private key object, done by the older object after
// the newer one was decoded and then by the newer one: sign is the one the
// provider answers from the container's slot; the others name the key.
TEST_F(QxKeyObjects, EveryOperationOfEitherObjectUsesItsOwnKey) {
    const struct Row {
        const char* operation;
        std::function<void(QxCAPIHandle*, std::size_t)> check;
    } rows[] = {
        {"sign",
         [this](QxCAPIHandle* object, std::size_t own) {
             expectOwnSignature(object, own, symtest::bytesOf("signed"));
         }},
        {"sign, hashed here",
         [this](QxCAPIHandle* object, std::size_t own) {
             const Bytes message = symtest::bytesOf("hashed by the library");
             Bytes signature;
             ASSERT_EQ(sign(object, message, kQxSignHashHere | kQxHashSha1, signature), kQxOk);
             EXPECT_EQ(
                 verify(public_[own].get(), signature, message, kQxSignHashHere | kQxHashSha1),
                 kQxOk);
         }},
        {"private decrypt",
         [this](QxCAPIHandle* object, std::size_t own) {
             const Bytes message = symtest::bytesOf("sealed for one key");
             Bytes sealed;
             ASSERT_EQ(encrypt(public_[own].get(), message, sealed), kQxOk);
             Bytes opened;
             ASSERT_EQ(decrypt(object, sealed, opened), kQxOk);
             EXPECT_EQ(opened, message);
         }},
        {"export",
         [](QxCAPIHandle* object, std::size_t own) {
             EXPECT_EQ(encoded(qxxCAPI_ASN1_PrivateKeyMethod(), object), numbers(own).privateDer());
         }},
        {"key size",
         [](QxCAPIHandle* object, std::size_t own) {
             EXPECT_EQ(QxXCAPI_KeySize(object), static_cast<int>(numbers(own).modulusBytes()));
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.operation);
        Handle older;
        Handle newer;
        ASSERT_EQ(decodePrivate(numbers(0).privateDer(), older), kQxOk);
        ASSERT_EQ(decodePrivate(numbers(1).privateDer(), newer), kQxOk);
        for (int round = 0; round < 2; ++round) {
            row.check(older.get(), 0);
            row.check(newer.get(), 1);
        }
    }
}

// A key pair made in the container by someone else takes the slot too.
TEST_F(QxKeyObjects, AKeyGeneratedIntoTheContainerDoesNotSignForTheObject) {
    Handle object;
    ASSERT_EQ(decodePrivate(numbers(0).privateDer(), object), kQxOk);
    const capi::HCRYPTPROV provider = QxCAPI_GetContext(kQxPrivateKeyContainer, 0);
    ASSERT_NE(provider, 0u);
    capi::HCRYPTKEY generated = 0;
    ASSERT_TRUE(capi::CryptGenKey(provider, capi::AT_KEYEXCHANGE, 512u << 16, &generated));
    EXPECT_TRUE(capi::CryptDestroyKey(generated));
    QxCAPI_ReleaseContext(provider);
    expectOwnSignature(object.get(), 0, symtest::bytesOf("after a generated key"));
}

// The object's key is put back into the slot only when another key is
// there, and a failed put-back signs nothing rather than with another key.
TEST_F(QxKeyObjects, AKeyThatCannotBePutBackSignsNothing) {
    Handle older;
    Handle newer;
    ASSERT_EQ(decodePrivate(numbers(0).privateDer(), older), kQxOk);
    ASSERT_EQ(decodePrivate(numbers(1).privateDer(), newer), kQxOk);
    const Bytes digest = sha256(symtest::bytesOf("refused"));

    capi::testing::failNextCall("CryptImportKey", capi::NTE_BAD_KEYSET);
    Bytes signature;
    EXPECT_EQ(sign(older.get(), digest, kQxHashSha256, signature), kQxFailed);
    EXPECT_TRUE(signature.empty());
    EXPECT_EQ(capi::GetLastError(), capi::NTE_BAD_KEYSET);
    EXPECT_NE(logText().find("CryptImportKey:80090016"), std::string::npos);
    expectOwnSignature(older.get(), 0, symtest::bytesOf("then put back"));

    // Its own key current: nothing is imported, the failure still waits.
    capi::testing::failNextCall("CryptImportKey", capi::NTE_BAD_DATA);
    expectOwnSignature(older.get(), 0, symtest::bytesOf("already current"));
    Handle third;
    EXPECT_EQ(decodePrivate(numbers(1).privateDer(), third), kQxBadKey);
}

// Objects signing on threads of their own while others are decoded and
// freed: the put-back and the signature are one step.
TEST_F(QxKeyObjects, ObjectsOnThreadsEachSignWithTheirOwnKey) {
    constexpr int kRounds = 100;
    std::array<Handle, kKeys> objects;
    for (std::size_t i = 0; i < kKeys; ++i) {
        ASSERT_EQ(decodePrivate(numbers(i).privateDer(), objects[i]), kQxOk);
    }
    std::atomic<int> wrong{0};
    std::atomic<bool> signing{true};
    const auto signer = [&](std::size_t own) {
        for (int round = 0; round < kRounds; ++round) {
            const Bytes digest = sha256(symtest::bytesOf("round " + std::to_string(round)));
            Bytes signature;
            if (sign(objects[own].get(), digest, kQxHashSha256, signature) != kQxOk ||
                verify(public_[own].get(), signature, digest, kQxHashSha256) != kQxOk) {
                ++wrong;
            }
        }
    };
    std::thread churn([&] {
        while (signing) {
            for (std::size_t i = 0; i < kKeys; ++i) {
                Handle passing;
                if (decodePrivate(numbers(i).privateDer(), passing) != kQxOk) {
                    ++wrong;
                }
            }
        }
    });
    std::thread first(signer, 0);
    std::thread second(signer, 1);
    first.join();
    second.join();
    signing = false;
    churn.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
