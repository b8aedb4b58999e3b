#pragma once

// A small software cipher core shaped like PKCS#11: mechanism numbers, update
// and final calls with in-out output lengths, and PKCS#11 return values.
// Only AES-256 is built (ECB, CBC, and CBC with PKCS#7 padding); no caller
// ever sets up DES or RC4.

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

// ---- Wiping ---------------------------------------------------------------

// Zeroes memory in a way the compiler may not drop as a dead store.
void secureWipe(void* data, std::size_t size) noexcept;

// An allocator that wipes every block before giving it back, so buffers
// holding keys or plaintext leave nothing behind (reallocation included).
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
            throw std::bad_array_new_length();
        }
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        secureWipe(p, n * sizeof(T));
        ::operator delete(p);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept {
        return true;
    }
};

using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;

// ---- Return values and mechanisms ------------------------------------------

using CipherResult = std::uint32_t;

inline constexpr CipherResult kCipherOk = 0;
inline constexpr CipherResult kCipherArgumentsBad = 7;
inline constexpr CipherResult kCipherDataInvalid = 0x20;
inline constexpr CipherResult kCipherDataLenRange = 0x21;
inline constexpr CipherResult kCipherEncryptedDataInvalid = 0x40;
inline constexpr CipherResult kCipherEncryptedDataLenRange = 0x41;
inline constexpr CipherResult kCipherNotInitialized = 0x91;
inline constexpr CipherResult kCipherBufferTooSmall = 0x150;

inline constexpr std::uint32_t kMechAesEcb = 0x1081;
inline constexpr std::uint32_t kMechAesCbc = 0x1082;
inline constexpr std::uint32_t kMechAesCbcPad = 0x1085;

inline constexpr std::size_t kAesBlockSize = 16;
inline constexpr std::size_t kAesKeySize = 32;
inline constexpr std::size_t kAesScheduleWords = 60;

using AesSchedule = std::array<std::uint32_t, kAesScheduleWords>;

// ---- Context ---------------------------------------------------------------

// One operation's state, normally on the caller's stack. A successful final
// call wipes it; so does its destructor.
struct CipherContext {
    std::uint32_t mechanism = 0;
    AesSchedule schedule{};
    std::uint32_t scheduleLength = 0;
    std::array<std::uint8_t, kAesBlockSize> block{}; // input not yet processed
    std::uint32_t fill = 0;
    std::uint32_t holdBack = 0;  // 1 while deciphering with padding
    std::uint32_t blockSize = 0; // 0: not initialised
    std::array<std::uint8_t, kAesBlockSize> chain{};
    bool decrypting = false; // an update or final of the other direction is refused

    CipherContext() = default;
    CipherContext(const CipherContext&) = delete;
    CipherContext& operator=(const CipherContext&) = delete;
    ~CipherContext() { wipe(); }

    void wipe() noexcept;
};

enum class CipherDirection { Encrypt, Decrypt };

// Sets up AES-256 in ECB, CBC or CBC with padding (the IV is ignored in ECB);
// kCipherArgumentsBad for a null context or another mechanism.
CipherResult cipherAesInit(CipherContext* ctx, CipherDirection direction, std::uint32_t mechanism,
                           std::span<const std::uint8_t, kAesKeySize> key,
                           std::span<const std::uint8_t, kAesBlockSize> iv);

// Deciphering AES-256-CBC with padding; the caller copies the IV into
// ctx->chain afterwards.
CipherResult cipherDecryptInit(CipherContext* ctx, std::span<const std::uint8_t, kAesKeySize> key);

// *outLen is the capacity of out on entry and the bytes written on return
// (or the bytes needed, with kCipherBufferTooSmall, or with 0 when out is null).
CipherResult cipherEncryptUpdate(CipherContext* ctx, const std::uint8_t* in, std::size_t inLen,
                                 std::uint8_t* out, std::size_t* outLen);
CipherResult cipherEncryptFinal(CipherContext* ctx, std::uint8_t* out, std::size_t* outLen);
CipherResult cipherDecryptUpdate(CipherContext* ctx, const std::uint8_t* in, std::size_t inLen,
                                 std::uint8_t* out, std::size_t* outLen);
CipherResult cipherDecryptFinal(CipherContext* ctx, std::uint8_t* out, std::size_t* outLen);

// ---- Block steps -----------------------------------------------------------

using AesBlock = std::span<std::uint8_t, kAesBlockSize>;
using ConstAesBlock = std::span<const std::uint8_t, kAesBlockSize>;

// The AES-256 enciphering schedule (FIPS 197 key expansion).
void aesSetKey(AesSchedule& schedule, std::span<const std::uint8_t, kAesKeySize> key);
// Turns an enciphering schedule into the one of the equivalent inverse
// cipher: round keys reversed, InvMixColumns applied to the inner ones.
void aesInvertKey(AesSchedule& schedule);
void aesEncryptBlock(const AesSchedule& schedule, ConstAesBlock in, AesBlock out);
void aesDecryptBlock(const AesSchedule& inverseSchedule, ConstAesBlock in, AesBlock out);
