#pragma once

// The local machine's store of trusted root certificates, as Linux keeps it:
// the user's NSS database (sql:<home>/.pki/nssdb, read by Chromium; made
// empty when missing) through certutil, and the system's trust store (a
// certificate file among the anchors that update-ca-certificates reads, then
// that command), where this process may write it. Both lie below the
// well-known folders (Home, TrustStore), so a sandbox keeps them inside.
//
// Failures are reported as errno values.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The DER bytes of one certificate from its PEM text (Base64 with or without
// the BEGIN and END lines); nullopt, with the error, when the text is no
// certificate.
std::optional<std::string> decodeCertificatePem(std::string_view pem, int& error);

// The nickname a root is added under: the subject's common name and the
// key's identifier in hexadecimal. Empty for what is no certificate.
std::string rootNickname(std::string_view der);

class RootStore {
public:
    // Opens both stores: nullptr, with the error, when the NSS database can
    // neither be opened nor made. A system store that is missing or may not
    // be written is left out and fails nothing.
    static std::unique_ptr<RootStore> open(int& error);

    // Adds a certificate (DER) as a trusted root to both stores; one that a
    // store holds already is kept as it is, so nothing is added twice. 0 or
    // the error.
    int add(std::string_view der);

    const std::filesystem::path& nssDatabase() const { return nssDatabase_; }
    // The anchors folder of the system's store; nullopt when it is left out.
    const std::optional<std::filesystem::path>& systemAnchors() const { return anchors_; }

private:
    RootStore(std::filesystem::path nssDatabase, std::optional<std::filesystem::path> anchors,
              std::optional<std::filesystem::path> updateCommand)
        : nssDatabase_(std::move(nssDatabase)), anchors_(std::move(anchors)),
          updateCommand_(std::move(updateCommand)) {}

    int addToNss(std::string_view der, const std::string& nickname) const;
    int addToSystem(std::string_view der, const std::string& nickname) const;

    std::filesystem::path nssDatabase_;
    std::optional<std::filesystem::path> anchors_;
    std::optional<std::filesystem::path> updateCommand_;
};

} // namespace platform
