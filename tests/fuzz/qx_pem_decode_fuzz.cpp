// The control crypto library's PEM decoder on any text with one of a few
// lists of accepted armour names (the first input byte picks it, the rest is
// the text, in a buffer of exactly its length with no NUL after it). Only the
// decoder's codes may come back; and the text's bytes armoured with the
// list's first name must decode back to them.

#include "control/crypto/QxCAPICoder.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

const std::string kLongName(111, 'L');
const std::string kLists[] = {
    "",
    "CERTIFICATE",
    "CERTIFICATE;X509 CERTIFICATE",
    "PKCS7;;RSA PRIVATE KEY;",
    "A;" + kLongName,
    std::string(110, 'M'),
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t pick = data[0] % (std::size(kLists) + 1);
    const char* aliases = pick == std::size(kLists) ? nullptr : kLists[pick].c_str();
    const char* text = reinterpret_cast<const char*>(data + 1);
    const auto length = static_cast<std::uint32_t>(size - 1);

    QxBlob out{0, nullptr};
    const int rc = QxXCAPI_Decode(text, length, &out, aliases);
    check(rc == kQxOk || rc == kQxNoMemory || rc == kQxBadBase64 || rc == kQxBadArmour);
    if (rc == kQxOk) {
        check(out.pbData != nullptr && out.cbData <= length && out.pbData[out.cbData] == 0);
    } else {
        check(out.pbData == nullptr);
    }
    qxxCAPIFree(out.pbData);

    // Armoured with the list's first name, or plain without a list.
    std::string name;
    if (aliases != nullptr) {
        name = std::string_view(aliases).substr(0, std::string_view(aliases).find(';'));
    }
    const auto* bytes = data + 1;
    QxBlob coded{0, nullptr};
    check(QxXCAPI_Encode(bytes, length, &coded, name.c_str()) == kQxOk);
    QxBlob back{0, nullptr};
    const int backRc =
        QxXCAPI_Decode(reinterpret_cast<const char*>(coded.pbData), coded.cbData, &back, aliases);
    // No list puts its over-long name first, so every one decodes its own.
    check(backRc == kQxOk);
    check(std::vector<std::uint8_t>(back.pbData, back.pbData + back.cbData) ==
          std::vector<std::uint8_t>(bytes, bytes + length));
    qxxCAPIFree(back.pbData);
    qxxCAPIFree(coded.pbData);
    return 0;
}
