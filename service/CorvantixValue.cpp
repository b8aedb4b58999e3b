#include "service/CorvantixValue.h"

#include "common/AES.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/UrlAllowList.h"

#include <algorithm>
#include <chrono>
#include <string.h>

namespace {

template <class Container>
void wipe(Container& data) {
    if (!data.empty()) {
        explicit_bzero(data.data(), data.size() * sizeof(data[0]));
    }
    data.clear();
    data.shrink_to_fit();
}

// Whether the list and each of its entries, white space trimmed, stay within
// their bounds; entries are split as the allow-list splits them.
bool domainListFits(std::string_view list) {
    if (list.size() > kDomainListMaxLength) {
        return false;
    }
    const auto parts = splitString(list, ";");
    return std::all_of(parts.begin(), parts.end(), [](const std::string& part) {
        return trimRight(trimLeft(part)).size() <= kDomainEntryMaxLength;
    });
}

std::int64_t lifetimeEnd(std::int64_t now, std::int32_t timeoutMinutes) {
    return now + std::int64_t{60} * timeoutMinutes;
}

} // namespace

std::int64_t systemSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---- Cipher --------------------------------------------------------------

AesValueCipher::AesValueCipher() {
    const bool key = getRandomBytes(key_.data(), key_.size());
    const bool iv = getRandomBytes(ivBlock_.data(), ivBlock_.size());
    if (!key) {
        key_.fill(0);
    }
    if (!iv) {
        ivBlock_.fill(0);
    }
    drawn_ = key && iv;
}

AesValueCipher::AesValueCipher(std::span<const std::uint8_t, 32> key,
                               std::span<const std::uint8_t, 32> ivBlock) {
    std::copy(key.begin(), key.end(), key_.begin());
    std::copy(ivBlock.begin(), ivBlock.end(), ivBlock_.begin());
}

AesValueCipher::~AesValueCipher() {
    explicit_bzero(key_.data(), key_.size());
    explicit_bzero(ivBlock_.data(), ivBlock_.size());
}

std::optional<std::vector<std::uint8_t>> AesValueCipher::encipher(std::string_view text) {
    // encryptAesCbc always takes the process key; making it ours here keeps
    // enciphering and deciphering under the same key whoever set it last.
    setProcessAesKey(key_, ivBlock_);
    return encryptAesCbc(text);
}

std::optional<std::string> AesValueCipher::decipher(std::span<const std::uint8_t> bytes) {
    return decryptAesCbc(bytes, key_, std::span<const std::uint8_t, 16>(ivBlock_.data(), 16));
}

// ---- Store ---------------------------------------------------------------

CorvantixValue::CorvantixValue(std::unique_ptr<ValueCipher> cipher, ValueClock clock)
    : cipher_(std::move(cipher)), clock_(std::move(clock)) {}

CorvantixValue::~CorvantixValue() {
    for (int i = 0; i < kValueSlotCount; ++i) {
        clearValueSlot(i);
    }
}

void CorvantixValue::clearValueSlot(int index) {
    if (index < 0 || index >= kValueSlotCount) {
        return;
    }
    ValueSlot& slot = slots_[static_cast<std::size_t>(index)];
    if (slot.channel) {
        wipe(*slot.channel);
    }
    slot.channel.reset();
    wipe(slot.domainList);
    wipe(slot.value);
    slot.timeout = 0;
    slot.expiry = 0;
}

int CorvantixValue::findChannel(std::string_view channel) const {
    const std::string wanted = toLowerString(channel);
    for (int i = 0; i < kValueSlotCount; ++i) {
        const auto& held = slots_[static_cast<std::size_t>(i)].channel;
        if (held && toLowerString(*held) == wanted) {
            return i;
        }
    }
    return -1;
}

// Frees every slot whose lifetime is over, and every slot without one; the
// last slot freed is the one to use, -1 when none could be.
int CorvantixValue::makeRoom() {
    const std::int64_t now = clock_();
    int freed = -1;
    for (int i = 0; i < kValueSlotCount; ++i) {
        if (slots_[static_cast<std::size_t>(i)].expiry < now) {
            clearValueSlot(i);
            freed = i;
        }
    }
    return freed;
}

int CorvantixValue::setCorvantixValue(std::optional<std::string_view> channel,
                                      std::optional<std::string_view> domainList,
                                      std::int32_t timeoutMinutes,
                                      std::optional<std::string_view> value) {
    if (!channel) {
        CORVANTIX_NULL_PARAMETER("channel");
    }
    if (!domainList) {
        CORVANTIX_NULL_PARAMETER("domain_list");
    }
    if (!value) {
        CORVANTIX_NULL_PARAMETER("value");
    }
    if (!channel || !domainList || !value || timeoutMinutes < 0) {
        return kResultBadArgument;
    }
    if (!domainListFits(*domainList)) {
        logWarning("CorvantixValue: ", "Domain list too long");
        return kResultBadArgument;
    }

    // Enciphered before any slot is touched, so a failure changes nothing.
    auto cipher = cipher_->encipher(*value);
    if (!cipher) {
        CORVANTIX_ALLOCATION_FAILURE();
        return kResultNotAvailable;
    }

    int index = findChannel(*channel);
    for (int i = 0; index < 0 && i < kValueSlotCount; ++i) {
        if (!slots_[static_cast<std::size_t>(i)].channel) {
            index = i;
        }
    }
    if (index < 0) {
        index = makeRoom();
    }
    if (index < 0) {
        wipe(*cipher);
        logWarning("CorvantixValue: ", "Full");
        return kResultStoreFull;
    }

    ValueSlot& slot = slots_[static_cast<std::size_t>(index)];
    if (!slot.channel) {
        slot.channel = std::string(*channel);
    }
    wipe(slot.domainList);
    slot.domainList = std::string(*domainList);
    slot.timeout = timeoutMinutes;
    slot.expiry = timeoutMinutes != 0 ? lifetimeEnd(clock_(), timeoutMinutes) : 0;
    wipe(slot.value);
    slot.value = std::move(*cipher);
    return kResultSuccess;
}

std::optional<std::string>
CorvantixValue::getCorvantixValue(std::optional<std::string_view> channel,
                                  std::optional<std::string_view> origin) {
    if (!channel) {
        CORVANTIX_NULL_PARAMETER("channel");
    }
    if (!origin) {
        CORVANTIX_NULL_PARAMETER("domain");
    }
    if (!channel || !origin) {
        return std::nullopt;
    }

    const int index = findChannel(*channel);
    if (index < 0) {
        logWarning("CorvantixValue no current channel", *channel);
        return std::string();
    }
    ValueSlot& slot = slots_[static_cast<std::size_t>(index)];

    // Built for this read only: the next read builds its own from its slot.
    UrlAllowList allowList;
    allowList.setUnlockURL(slot.domainList);
    allowList.checkUnlockURL(*origin);
    if (!allowList.unlocked()) {
        logWarning("CorvantixValue url check fail", *origin);
        return std::string();
    }

    if (slot.expiry != 0) {
        const std::int64_t now = clock_();
        logNormalInt("CorvantixValue current_time: ", now);
        if (now > slot.expiry) {
            // The slot stays until the store needs room.
            logWarning("CorvantixValue: ", "Timeout");
            logWarningInt("CorvantixValue expired_time: ", slot.expiry);
            return std::string();
        }
        slot.expiry = lifetimeEnd(now, slot.timeout);
        logNormalInt("CorvantixValue update expired_time: ", slot.expiry);
    } else {
        logNormal("CorvantixValue: ", "No expired time");
    }

    auto text = cipher_->decipher(slot.value);
    if (!text) {
        CORVANTIX_ALLOCATION_FAILURE();
        return std::nullopt;
    }
    return text;
}
