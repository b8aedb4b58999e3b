#pragma once

// The service's two built-in server certificates and their private keys. The
// keys are kept enciphered in the program and exist as PEM text only while
// the daemons are being started.

#include "common/Cipher.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

enum class ServerKeyKind { Rsa, Ecdsa };

// RSA on Windows XP or an unknown system, ECDSA everywhere else.
ServerKeyKind chooseServerKeyKind(std::uint32_t osFlags);

// The PEM text of the certificate for this system's OS flags; nullopt when
// the program carries none.
std::optional<std::string> getServerCertificate();
std::optional<std::string> serverCertificate(ServerKeyKind kind);

// The private key's PEM text, zero-terminated, in a buffer wiped when freed.
std::optional<SecureBytes> releaseServerKey(ServerKeyKind kind);

// The protected form (upper-case hex of the enciphered text) and back.
std::string protectSecret(std::string_view plain);
std::optional<SecureBytes> releaseSecret(std::string_view protectedHex);
