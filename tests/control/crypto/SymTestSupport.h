#pragma once

// Shared pieces of the crypto library's digest and cipher tests: byte
// strings, owned handles and a control log kept inside a sandbox.

#include "control/ControlLog.h"
#include "control/crypto/QxCAPILib.h"
#include "platform/cryptoapi/CryptoApi.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace symtest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes hex(std::string_view text) {
    Bytes out;
    std::string digits;
    for (const char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline std::string toHex(const std::uint8_t* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += kDigits[data[i] >> 4];
        out += kDigits[data[i] & 0x0F];
    }
    return out;
}

inline std::string toHex(const Bytes& bytes) {
    return toHex(bytes.data(), bytes.size());
}

struct HandleRelease {
    void operator()(QxCAPIHandle* handle) const { qxxCAPIFreeHandle(handle); }
};
using Handle = std::unique_ptr<QxCAPIHandle, HandleRelease>;

struct BufferRelease {
    void operator()(std::uint8_t* data) const { qxxCAPIFree(data); }
};
using Buffer = std::unique_ptr<std::uint8_t, BufferRelease>;

// The control log writes into a sandbox at ERROR level, so the library's
// error lines can be read back.
class LoggedTest : public ::testing::Test {
protected:
    void SetUp() override {
        capi::testing::clearFailures();
        Log_ResetForTest();
        logPath_ = box_.root() / "control.log";
        const auto ini =
            box_.write("Tavelo.ini", "[Tavelo]\nLog File=" + logPath_.string() + "\nLog Level=2\n");
        ASSERT_EQ(Log_Init("Tavelo", ini.c_str()), 0);
    }
    void TearDown() override {
        capi::testing::clearFailures();
        Log_ResetForTest();
    }

    // Everything written to the log so far.
    std::string logText() const {
        const std::filesystem::path written = Log_FileName();
        return std::filesystem::exists(written) ? testing_support::Sandbox::read(written) : "";
    }

private:
    testing_support::Sandbox box_;
    std::filesystem::path logPath_;
};

} // namespace symtest
