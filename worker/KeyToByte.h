#pragma once

// "-KeyToByte <key file>": the key file's bytes as a C array line appended to
// "Cert.h" in the current folder.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// Key files are PEM text of a few kilobytes; no key file reaches this many
// bytes, and no more are read.
inline constexpr std::size_t kKeyFileMax = 64 * 1024;

// "byte RSAKey[] = { 0x2D, 0x80};" for a name holding "_RSA.", else the
// same as "ECKey"; each byte as an unsigned hexadecimal number.
std::string keyToByteLine(std::string_view fileName, std::string_view bytes);

// Appends the text to "Cert.h" in the current folder; false without a text
// or when the file cannot be opened.
bool writeCertHeader(std::optional<std::string_view> text);

// The option; 0, or kWorkerFailed when the key file is missing, empty or
// longer than kKeyFileMax, or Cert.h cannot be written.
int keyToByte(std::string_view argumentText);
