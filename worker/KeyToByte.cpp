#include "worker/KeyToByte.h"

#include "common/Tool.h"
#include "common/ToolLog.h"
#include "worker/Worker.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace {

constexpr const char* kHeaderFile = "Cert.h";

// The file's bytes with CR LF as LF, as readFileText gives them, but never
// more than kKeyFileMax read; nullopt when it cannot be opened, or holds
// more (tooLong).
std::optional<std::string> readKeyFile(const std::filesystem::path& path, bool& tooLong) {
    tooLong = false;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::string bytes(kKeyFileMax + 1, '\0');
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<std::size_t>(file.gcount()));
    if (bytes.size() > kKeyFileMax) {
        tooLong = true;
        return std::nullopt;
    }
    return replaceString(bytes, "\r\n", "\n");
}

} // namespace

std::string keyToByteLine(std::string_view fileName, std::string_view bytes) {
    std::string line =
        fileName.find("_RSA.") != std::string_view::npos ? "byte RSAKey[] = {" : "byte ECKey[] = {";
    line.reserve(line.size() + bytes.size() * 6 + 2);
    char number[8];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(number, sizeof number, "%s0x%X", i == 0 ? " " : ", ",
                      static_cast<unsigned>(static_cast<unsigned char>(bytes[i])));
        line += number;
    }
    return line + "};";
}

bool writeCertHeader(std::optional<std::string_view> text) {
    if (!text) {
        return false;
    }
    std::FILE* file = std::fopen(kHeaderFile, "a");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(text->data(), 1, text->size(), file) == text->size();
    return std::fclose(file) == 0 && written;
}

int keyToByte(std::string_view argumentText) {
    logNormal("KeyToByte area");
    std::string fileName = replaceString(argumentText, "-KeyToByte ", "");
    // Quotes around a name with blanks are the command line's, not the name's.
    std::erase(fileName, '"');
    logNormal("FileName: ", fileName);
    bool tooLong = false;
    const auto bytes = readKeyFile(fileName, tooLong);
    if (!bytes || bytes->empty()) {
        std::error_code ec;
        logError("KeyToByte: ", tooLong ? "Key file is too large"
                                : std::filesystem::is_regular_file(fileName, ec)
                                    ? "Key file is empty"
                                    : "Key file cannot be read");
        return kWorkerFailed;
    }
    if (!writeCertHeader(keyToByteLine(fileName, *bytes))) {
        logError("KeyToByte: ", "Cert.h cannot be written");
        return kWorkerFailed;
    }
    return kWorkerSuccess;
}
