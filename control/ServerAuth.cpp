#include "control/ServerAuth.h"

#include "adapter/AdapterUnlockList.h"
#include "control/ControlErrorCode.h"
#include "control/ControlLogLine.h"
#include "control/ServerAuthKey.h"
#include "control/card/Secret.h"
#include "control/crypto/QxCAPICoder.h"
#include "control/crypto/QxXCAPI.h"
#include "platform/random/Random.h"

#include <array>
#include <cstdio>
#include <memory>

namespace tavelo {

namespace {

constexpr std::size_t kKeySize = 24;
constexpr std::size_t kMaxUrl = 1023;

// Frees what the crypto library allocated, wiping it first.
struct CryptoFree {
    std::size_t size = 0;
    void operator()(void* data) const noexcept {
        secureWipe(data, size);
        qxxCAPIFree(data);
    }
};

// One hex share as 24 bytes in wiped memory.
int decodeShare(std::string_view share, SecureBytes& out) {
    std::uint8_t* decoded = nullptr;
    std::uint32_t length = 0;
    const int rc = QxXCAPI_HexDecode(share.data(), static_cast<std::uint32_t>(share.size()),
                                     &decoded, &length);
    const std::unique_ptr<std::uint8_t, CryptoFree> owner(decoded, CryptoFree{length});
    if (rc != kCtlOk) {
        return rc;
    }
    if (length != kKeySize) {
        return kCtlBadArgument;
    }
    out.assign(decoded, decoded + length);
    return kCtlOk;
}

// The Base64 text of the challenge cipher of one number.
int encipherNumber(const SecureBytes& key, int number, std::string& out) {
    static constexpr std::array<std::uint8_t, 8> kZeroIv{};
    std::array<char, 16> digits{};
    const int length = std::snprintf(digits.data(), digits.size(), "%d", number);
    std::uint8_t* cipher = nullptr;
    std::uint32_t cipherLength = 0;
    int rc = QxXCAPI_Encrypt(kQxCipher3Des, reinterpret_cast<const std::uint8_t*>(digits.data()),
                             static_cast<std::uint32_t>(length), key.data(),
                             static_cast<std::uint32_t>(key.size()), kZeroIv.data(),
                             static_cast<std::uint32_t>(kZeroIv.size()), kQxModeCbc, &cipher,
                             &cipherLength);
    secureWipe(digits.data(), digits.size());
    const std::unique_ptr<std::uint8_t, CryptoFree> cipherOwner(cipher, CryptoFree{cipherLength});
    if (rc != kCtlOk) {
        return rc;
    }
    char* text = nullptr;
    std::uint32_t textLength = 0;
    rc = qxbase64_encode_ex(cipher, cipherLength, &text, &textLength);
    const std::unique_ptr<char, CryptoFree> textOwner(text, CryptoFree{textLength});
    if (rc != kCtlOk) {
        return rc;
    }
    out.assign(text, textLength);
    return kCtlOk;
}

// A random number in 0..32767, the range the server side expects.
bool challengeNumber(int& n) {
    std::array<std::uint8_t, 2> bytes{};
    if (!platform::randomBytes(bytes.data(), bytes.size())) {
        return false;
    }
    n = ((bytes[0] << 8) | bytes[1]) & 0x7FFF;
    secureWipe(bytes.data(), bytes.size());
    return true;
}

bool isLabelCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

std::string_view withoutStar(std::string_view entry) {
    if (!entry.empty() && entry.front() == '*') {
        entry.remove_prefix(1);
    }
    return entry;
}

} // namespace

int GetM(std::string_view shareA, std::string_view shareB, std::string& M, std::string& M1) {
    SecureBytes key;
    SecureBytes second;
    if (int rc = decodeShare(shareA, key); rc != kCtlOk) {
        CTL_LOG(kLogDebug, "first share rtn %d", rc);
        return controlCodeFromCrypto(rc);
    }
    if (int rc = decodeShare(shareB, second); rc != kCtlOk) {
        CTL_LOG(kLogDebug, "second share rtn %d", rc);
        return controlCodeFromCrypto(rc);
    }
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] ^= second[i];
    }
    int n = 0;
    if (!challengeNumber(n)) {
        CTL_LOG(kLogDebug, "no random number");
        return kCtlFailed;
    }
    std::string m;
    std::string m1;
    int rc = encipherNumber(key, n, m);
    if (rc == kCtlOk) {
        rc = encipherNumber(key, n + 1, m1);
    }
    secureWipe(&n, sizeof n);
    if (rc != kCtlOk) {
        CTL_LOG(kLogDebug, "QxXCAPI_Encrypt rtn %d", rc);
        // Only the library codes the control shares leave it.
        return controlCodeFromCrypto(rc);
    }
    // M1 is the answer itself: only M reaches the log.
    CTL_LOG(kLogDebug, "M=%s", m.c_str());
    M = std::move(m);
    M1 = std::move(m1);
    return kCtlOk;
}

int ServerGetAuth(TaveloState& state, std::string& auth) {
    std::string m;
    std::string m1;
    const int rc = GetM(kServerKeyShareA, kServerKeyShareB, m, m1);
    if (rc != kCtlOk) {
        state.m_szServerM.clear();
        state.m_szServerM1.clear();
        return rc;
    }
    state.m_szServerM = m;
    state.m_szServerM1 = std::move(m1);
    auth = std::move(m);
    return kCtlOk;
}

int ServerVerifyResponse(TaveloState& state, const OptionalText& response) {
    if (!response || response->empty()) {
        return kCtlBadArgument;
    }
    if (state.m_szServerM1.empty() || *response != state.m_szServerM1) {
        return kCtlNotAuthorised;
    }
    state.m_bAuthorized = true;
    return kCtlOk;
}

void SplitUrlPatterns(std::string_view text, UrlPatternTable& table, std::size_t& count) {
    for (auto& entry : table) {
        entry.clear();
    }
    count = 0;
    const auto keep = [&](std::string_view entry) {
        entry = withoutStar(entry);
        if (entry.size() <= kUrlPatternLength) {
            table[count] = std::string(entry);
        }
        ++count;
    };
    std::size_t end = text.find(';');
    while (end != std::string_view::npos && count < kUrlPatternEntries - 1) {
        keep(text.substr(0, end));
        text.remove_prefix(end + 1);
        end = text.find(';');
    }
    keep(text);
}

std::optional<std::string_view> UrlHost(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = url.substr(scheme + 3);
    while (!rest.empty() && (rest.front() == '/' || rest.front() == '\\')) {
        rest.remove_prefix(1);
    }
    const std::string_view authority = rest.substr(0, rest.find_first_of("/\\?#"));
    if (authority.find('@') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view host = authority.substr(0, authority.find(':'));
    if (host.empty()) {
        return std::nullopt;
    }
    return host;
}

bool HostMatchesPattern(std::string_view host, std::string_view entry) {
    if (entry.empty()) {
        return false;
    }
    if (entry.front() != '.') {
        return host == entry;
    }
    if (host.size() <= entry.size() || !host.ends_with(entry)) {
        return false;
    }
    const std::string_view label = host.substr(0, host.size() - entry.size());
    for (const char c : label) {
        if (!isLabelCharacter(c)) {
            return false;
        }
    }
    return true;
}

int ServerVerifyURL(TaveloState& state, const OptionalText& url) {
    if (state.m_bAuthorized) {
        return kCtlOk;
    }
    if (url && !url->empty()) {
        CTL_LOG(kLogDebug, "cstrOutURL %s", url->c_str());
        state.m_szVerifyURL = url->substr(0, kMaxUrl);
        CTL_LOG(kLogDebug, "verifyURL %s", state.m_szVerifyURL.c_str());
    }
    int rc = kCtlNotAuthorised;
    if (const auto host = UrlHost(state.m_szVerifyURL)) {
        UrlPatternTable table;
        std::size_t count = 0;
        SplitUrlPatterns(kControlUrlPatterns, table, count);
        for (std::size_t i = 0; i < count; ++i) {
            if (HostMatchesPattern(*host, table[i])) {
                state.m_bAuthorized = true;
                rc = kCtlOk;
                break;
            }
        }
    }
    CTL_LOG(kLogDebug, "%d", rc);
    return rc;
}

} // namespace tavelo
