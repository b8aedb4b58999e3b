#pragma once

// What the tests of the control's methods share: the dialog and control ids
// they drive, the keypad-reader list enciphered by the openssl tool, and the
// control log's folder for a test program.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include <unistd.h>

namespace control_test {

inline constexpr std::uint32_t kPinDialog = 28000;
inline constexpr std::uint32_t kReaderPromptDialog = 206;
inline constexpr int kOk = 1;
inline constexpr int kCancel = 2;

// The secret of the keypad-reader list as the control keeps it: two pieces
// joined by "Qx", and a salt mixed from both.
inline constexpr std::string_view kPieceA = "c3VuLXZvbmRlbC10YXZlbG8ta2V5cGFkLTE2";
inline constexpr std::string_view kPieceB = "rdr-list/2f9c61";

// The command's output without its trailing line break.
inline std::string shell(const std::string& command) {
    std::string out;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            out.append(buffer, n);
        }
        pclose(pipe);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out;
}

// The list enciphered by the openssl tool: 3DES-CBC, key and IV by PBKDF2
// with HMAC-SHA1 and one iteration.
inline std::string encipherList(const std::string& plain) {
    std::string salt;
    for (std::size_t i = 0; i < 8; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x",
                      static_cast<unsigned>(
                          static_cast<std::uint8_t>(kPieceA[i] ^ kPieceB[kPieceB.size() - 1 - i])));
        salt += digits;
    }
    const std::string password =
        shell("printf '%s' '" + std::string(kPieceA) + "Qx" + std::string(kPieceB) +
              "' | openssl dgst -sha1 -binary | base64");
    return shell("printf '%s' '" + plain +
                 "' | openssl enc -des-ede3-cbc -pbkdf2 -iter 1 -md sha1 -S " + salt +
                 " -pass 'pass:" + password + "' -a -A");
}

// The control's log of the whole test program, outside every sandbox: the
// log is opened once per process.
inline std::filesystem::path controlLogFolder(std::string_view program) {
    return std::filesystem::temp_directory_path() /
           (std::string(program) + "-" + std::to_string(getpid()));
}

} // namespace control_test
