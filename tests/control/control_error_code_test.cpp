#include "control/ControlErrorCode.h"
#include "control/crypto/QxCAPILib.h"

#include <gtest/gtest.h>

namespace {

TEST(ControlErrorCode, CryptoLibraryCodesPassOnlyWhereTheControlSharesTheirMeaning) {
    const struct {
        int library;
        ControlErrorCode expected;
    } cases[] = {
        {kQxOk, kCtlOk},
        {kQxBadBase64, kCtlBadBase64},
        {kQxBadHex, kCtlBadHex},
        {kQxDecryptFailed, kCtlDecryptFailed},
        {kQxNoProvider, kCtlNoProvider},
        {kQxFailed, kCtlFailed},
        {kQxNoMemory, kCtlNoMemory},
        {kQxBadArgument, kCtlBadArgument},
        // Same number as a control row, other meaning: never passed on.
        {kQxUnsupported, kCtlFailed},
        {kQxWrongHandleType, kCtlFailed},
        {kQxCancelled, kCtlFailed},
        {kQxKeySizeWrongPin, kCtlFailed},
        // Library codes the control has no row for.
        {kQxBufferTooSmall, kCtlFailed},
        {kQxBadSignature, kCtlFailed},
        {kQxBadCertificate, kCtlFailed},
        {kQxBadPkcs7, kCtlFailed},
        {kQxBadKey, kCtlFailed},
        {kQxBadArmour, kCtlFailed},
        {kQxSignRefused, kCtlFailed},
        {kQxVerifyRefused, kCtlFailed},
        {kQxEncryptFailed, kCtlFailed},
        {kQxHashNotSupported, kCtlFailed},
        {kQxWrongPin, kCtlFailed},
        {kQxPinBlocked, kCtlFailed},
        // Numbers that are only control codes, and none at all.
        {kCtlCardAbsent, kCtlFailed},
        {kCtlVersionUnreadable, kCtlFailed},
        {12345, kCtlFailed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(controlCodeFromCrypto(c.library), c.expected) << c.library;
    }
}

} // namespace
