// A PEM private key whose Base64 breaks off: the decoder has already turned
// much of the key into bytes when it fails, and none of them may stay in the
// memory it frees. A free hook (this program's own free(), or the
// sanitizer's hook where the sanitizer owns free) searches every block freed
// while a search is on.

#include "control/crypto/QxCAPICoder.h"
#include "tests/control/crypto/AsymTestSupport.h"

#include <array>
#include <atomic>
#include <cstring>
#include <dlfcn.h>
#include <malloc.h>
#if defined(CORVANTIX_SANITIZED)
// The sanitizer runtime's allocator interface (GCC ships no header for it).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                              void (*)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void*);
}
#endif

namespace {

std::atomic<bool> searching{false};
std::atomic<int> blocksWithTheKey{0};
constexpr std::size_t kNeedle = 16;
std::array<std::array<std::uint8_t, kNeedle>, 2> needles{};

// Looks for the needles in a block about to be freed.
void inspect(const void* block, std::size_t size) {
    if (!searching.load()) {
        return;
    }
    for (const auto& needle : needles) {
        if (memmem(block, size, needle.data(), needle.size()) != nullptr) {
            blocksWithTheKey.fetch_add(1);
        }
    }
}

} // namespace

#if defined(CORVANTIX_SANITIZED)
// The sanitizer's allocator owns free(): it calls a hook before each one.
namespace {

void freeHook(const volatile void* block) {
    if (block != nullptr) {
        const void* at = const_cast<const void*>(block);
        inspect(at, __sanitizer_get_allocated_size(at));
    }
}

// The runtime takes both hooks or none.
void mallocHook(const volatile void*, std::size_t) {}

const int hooked = __sanitizer_install_malloc_and_free_hooks(mallocHook, freeHook);

} // namespace
#else
namespace {

using FreeFunction = void (*)(void*);
std::atomic<FreeFunction> nextFree{nullptr};

FreeFunction resolveFree() {
    // dlsym may free what it allocated itself: that is left to leak.
    static thread_local bool resolving = false;
    if (resolving) {
        return nullptr;
    }
    resolving = true;
    auto* found = reinterpret_cast<FreeFunction>(dlsym(RTLD_NEXT, "free"));
    resolving = false;
    nextFree.store(found);
    return found;
}

} // namespace

// This program's own free() hands every block to inspect() first.
extern "C" void free(void* block) {
    if (block == nullptr) {
        return;
    }
    FreeFunction next = nextFree.load();
    if (next == nullptr && (next = resolveFree()) == nullptr) {
        return;
    }
    inspect(block, malloc_usable_size(block));
    next(block);
}
#endif

namespace {

using asymtest::Bytes;
using asymtest::RsaNumbers;

class FreedKey : public symtest::LoggedTest {};

std::string pemOf(const Bytes& der) {
    QxBlob out{0, nullptr};
    EXPECT_EQ(
        QxXCAPI_Encode(der.data(), static_cast<std::uint32_t>(der.size()), &out, "RSA PRIVATE KEY"),
        kQxOk);
    std::string text(reinterpret_cast<const char*>(out.pbData), out.cbData);
    qxxCAPIFree(out.pbData);
    return text;
}

int decodeText(const std::string& pem) {
    QxCAPIHandle* handle = nullptr;
    const int rc =
        qxxCAPI_ASN1_DecodePrivateKey(&handle, reinterpret_cast<const std::uint8_t*>(pem.data()),
                                      static_cast<std::uint32_t>(pem.size()), kQxAsn1InputText);
    qxxCAPIFreeHandle(handle);
    return rc;
}

TEST_F(FreedKey, ABrokenPemLeavesNoneOfTheKeyInFreedMemory) {
    const RsaNumbers key = asymtest::SeededKeys(23).next(1024);
#if defined(CORVANTIX_SANITIZED)
    ASSERT_NE(hooked, 0) << "the free hook is not installed";
#endif
    ASSERT_GE(key.d.size(), 8 + kNeedle);
    ASSERT_GE(key.p.size(), 8 + kNeedle);
    std::copy_n(key.d.begin() + 8, kNeedle, needles[0].begin());
    std::copy_n(key.p.begin() + 8, kNeedle, needles[1].begin());
    const std::string pem = pemOf(key.privateDer());
    ASSERT_EQ(decodeText(pem), kQxOk) << "the key itself is sound";

    // A character outside the alphabet in the last full line, or in the
    // middle: most of the key, or its first numbers, are decoded by then.
    const std::size_t end = pem.find("-----END");
    ASSERT_NE(end, std::string::npos);
    ASSERT_GT(end, 70u);
    for (std::size_t at : {end - 70, pem.size() / 2}) {
        std::string broken = pem;
        at += broken[at] == '\n' ? 1 : 0;
        broken[at] = '*';
        blocksWithTheKey = 0;
        searching = true;
        const int rc = decodeText(broken);
        searching = false;
        EXPECT_EQ(rc, kQxBadBase64) << at;
        EXPECT_EQ(blocksWithTheKey.load(), 0) << at << ": the key's numbers in freed memory";
    }
}

} // namespace
