#pragma once

// The value store: a page leaves a short value under a channel name together
// with the origins that may read it back and a lifetime in minutes. Values
// are kept only enciphered, under a key drawn when the store is made, and
// live in memory only, so nothing outlives the process.

#include "common/ResultCode.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int kValueSlotCount = 16;

// Bounds of a stored domain list, so that no read's origin check has much to
// do. An entry names hosts, and a host name has at most 253 characters (DNS):
// 255 leaves room for a leading "*" or a trailing "/". The whole list holds
// sixteen such entries, more than any page needs.
inline constexpr std::size_t kDomainEntryMaxLength = 255;
inline constexpr std::size_t kDomainListMaxLength = 4096;

// Seconds since 1970 (UTC).
using ValueClock = std::function<std::int64_t()>;
std::int64_t systemSeconds();

class ValueCipher {
public:
    virtual ~ValueCipher() = default;
    virtual std::optional<std::vector<std::uint8_t>> encipher(std::string_view text) = 0;
    virtual std::optional<std::string> decipher(std::span<const std::uint8_t> bytes) = 0;
};

// AES-256-CBC under the process key and IV, which this cipher owns.
class AesValueCipher final : public ValueCipher {
public:
    // Draws a fresh key and then a fresh IV block; either stays zero when
    // its draw fails (see drawn()).
    AesValueCipher();
    AesValueCipher(std::span<const std::uint8_t, 32> key,
                   std::span<const std::uint8_t, 32> ivBlock);
    ~AesValueCipher() override;
    AesValueCipher(const AesValueCipher&) = delete;
    AesValueCipher& operator=(const AesValueCipher&) = delete;

    bool drawn() const { return drawn_; }
    std::optional<std::vector<std::uint8_t>> encipher(std::string_view text) override;
    std::optional<std::string> decipher(std::span<const std::uint8_t> bytes) override;

private:
    std::array<std::uint8_t, 32> key_{};
    std::array<std::uint8_t, 32> ivBlock_{}; // the IV is its first 16 bytes
    bool drawn_ = true;
};

struct ValueSlot {
    std::optional<std::string> channel; // absent: the slot is free
    std::string domainList;
    std::int32_t timeout = 0;        // minutes; 0: no lifetime
    std::int64_t expiry = 0;         // seconds since 1970; 0 without a lifetime
    std::vector<std::uint8_t> value; // enciphered
};

class CorvantixValue {
public:
    explicit CorvantixValue(
        std::unique_ptr<ValueCipher> cipher = std::make_unique<AesValueCipher>(),
        ValueClock clock = systemSeconds);
    ~CorvantixValue();
    CorvantixValue(const CorvantixValue&) = delete;
    CorvantixValue& operator=(const CorvantixValue&) = delete;

    // Wipes and frees one slot; an index outside the store is ignored.
    void clearValueSlot(int index);

    // kResultSuccess, kResultBadArgument (an absent argument, a negative timeout,
    // a domain list longer than kDomainListMaxLength or one with an entry,
    // white space trimmed, longer than kDomainEntryMaxLength), kResultStoreFull
    // or kResultNotAvailable. Whatever is refused changes nothing.
    int setCorvantixValue(std::optional<std::string_view> channel,
                          std::optional<std::string_view> domainList, std::int32_t timeoutMinutes,
                          std::optional<std::string_view> value);

    // The value; empty when the channel is unknown, the origin is not on the
    // slot's list or the lifetime is over; nullopt when the value cannot be
    // deciphered or an argument is absent. A read restarts the lifetime.
    std::optional<std::string> getCorvantixValue(std::optional<std::string_view> channel,
                                                 std::optional<std::string_view> origin);

    const ValueSlot& slot(int index) const { return slots_.at(static_cast<std::size_t>(index)); }

private:
    int findChannel(std::string_view channel) const;
    int makeRoom();

    std::unique_ptr<ValueCipher> cipher_;
    ValueClock clock_;
    std::array<ValueSlot, kValueSlotCount> slots_;
};
