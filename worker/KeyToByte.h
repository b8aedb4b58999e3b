#pragma once

// "-KeyToByte <key file>": the key file's bytes as a C array line appended to
// "Cert.h" in the current folder.

#include <optional>
#include <string>
#include <string_view>

// "byte RSAKey[] = { 0x2D, 0x80};" for a name holding "_RSA.", else the
// same as "ECKey"; each byte as an unsigned hexadecimal number.
std::string keyToByteLine(std::string_view fileName, std::string_view bytes);

// Appends the text to "Cert.h" in the current folder; false without a text
// or when the file cannot be opened.
bool writeCertHeader(std::optional<std::string_view> text);

// The option; 0, or kWorkerFailed when the key file is missing or empty or
// Cert.h cannot be written.
int keyToByte(std::string_view argumentText);
