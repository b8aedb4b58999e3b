#include "platform/rootstore/RootStore.h"

#include "platform/folders/Folders.h"
#include "platform/process/Process.h"

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

namespace fs = std::filesystem;

// Trusted as a root for every use, as the original platform's root store trusts.
constexpr const char* kRootTrust = "C,C,C";

constexpr std::string_view kBegin = "-----BEGIN";
constexpr std::string_view kEnd = "-----END";

int base64Value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

// Base64 with any white space between the characters; padding only at the end.
std::optional<std::string> decodeBase64(std::string_view text) {
    std::string out;
    unsigned bits = 0;
    int held = 0;
    int padding = 0;
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            continue;
        }
        if (c == '=') {
            ++padding;
            continue;
        }
        const int value = base64Value(c);
        if (value < 0 || padding != 0) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<unsigned>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>((bits >> held) & 0xFF));
        }
    }
    if (padding > 2 || held >= 6) {
        return std::nullopt;
    }
    return out;
}

// The Base64 body of the first PEM block, or the whole text when it has no
// header line; nullopt for a block without its end line.
std::optional<std::string_view> pemBody(std::string_view pem) {
    const auto begin = pem.find(kBegin);
    if (begin == std::string_view::npos) {
        return pem;
    }
    const auto bodyStart = pem.find('\n', begin);
    if (bodyStart == std::string_view::npos) {
        return std::nullopt;
    }
    const auto end = pem.find(kEnd, bodyStart);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    return pem.substr(bodyStart + 1, end - bodyStart - 1);
}

// Every certificate of a PEM text with several blocks, as DER.
std::vector<std::string> pemCertificates(std::string_view text) {
    std::vector<std::string> all;
    int error = 0;
    for (auto begin = text.find(kBegin); begin != std::string_view::npos;
         begin = text.find(kBegin, begin + kBegin.size())) {
        if (auto der = decodeCertificatePem(text.substr(begin), error)) {
            all.push_back(std::move(*der));
        }
    }
    return all;
}

class Certificate {
public:
    explicit Certificate(std::string_view der) {
        if (gnutls_x509_crt_init(&crt_) < 0) {
            crt_ = nullptr;
            return;
        }
        const gnutls_datum_t data{reinterpret_cast<unsigned char*>(const_cast<char*>(der.data())),
                                  static_cast<unsigned>(der.size())};
        valid_ = gnutls_x509_crt_import(crt_, &data, GNUTLS_X509_FMT_DER) >= 0;
    }
    ~Certificate() {
        if (crt_ != nullptr) {
            gnutls_x509_crt_deinit(crt_);
        }
    }
    Certificate(const Certificate&) = delete;
    Certificate& operator=(const Certificate&) = delete;

    bool valid() const { return valid_; }

    // The subject's common name with the key's identifier, so that another
    // certificate of that name (another's, or an older root of the same
    // subject) neither blocks this one nor is taken for it; without a
    // common name, "Root" with the fingerprint.
    std::string nickname() const {
        std::array<char, 256> name{};
        size_t size = name.size();
        if (gnutls_x509_crt_get_dn_by_oid(crt_, GNUTLS_OID_X520_COMMON_NAME, 0, 0, name.data(),
                                          &size) >= 0 &&
            size > 0) {
            return std::string(name.data(), size) + " " + keyId();
        }
        std::array<unsigned char, 20> print{};
        size = print.size();
        std::string text = "Root";
        if (gnutls_x509_crt_get_fingerprint(crt_, GNUTLS_DIG_SHA1, print.data(), &size) >= 0) {
            text += ' ' + hex(print.data(), size);
        }
        return text;
    }

    std::optional<std::string> pem() const {
        gnutls_datum_t out{};
        if (gnutls_x509_crt_export2(crt_, GNUTLS_X509_FMT_PEM, &out) < 0) {
            return std::nullopt;
        }
        std::string text(reinterpret_cast<const char*>(out.data), out.size);
        gnutls_free(out.data);
        return text;
    }

private:
    static std::string hex(const unsigned char* bytes, std::size_t size) {
        static constexpr char kHex[] = "0123456789ABCDEF";
        std::string text;
        for (std::size_t i = 0; i < size; ++i) {
            text += kHex[bytes[i] >> 4];
            text += kHex[bytes[i] & 0xF];
        }
        return text;
    }

    // The subject key identifier, else the SHA-1 of the public key.
    std::string keyId() const {
        std::array<unsigned char, 64> id{};
        size_t size = id.size();
        unsigned critical = 0;
        if (gnutls_x509_crt_get_subject_key_id(crt_, id.data(), &size, &critical) < 0) {
            size = id.size();
            if (gnutls_x509_crt_get_key_id(crt_, 0, id.data(), &size) < 0) {
                size = 0;
            }
        }
        return hex(id.data(), size);
    }

    gnutls_x509_crt_t crt_ = nullptr;
    bool valid_ = false;
};

std::string sqlDatabase(const fs::path& folder) {
    return "sql:" + folder.string();
}

// certutil on the database with the words after it; nullopt when certutil
// cannot be started.
std::optional<CapturedRun> certutil(const fs::path& database, std::vector<std::string> words) {
    words.insert(words.begin(), {"certutil", "-d", sqlDatabase(database)});
    return runCaptured(words);
}

bool succeeded(const std::optional<CapturedRun>& run) {
    return run && run->exitCode == 0;
}

int failureOf(const std::optional<CapturedRun>& run) {
    return run ? EIO : ENOENT;
}

// Whether the listing marks the nickname as a trusted issuer of server
// certificates (its first trust field holds "C").
bool trustedForServers(std::string_view listing, std::string_view nickname) {
    std::istringstream lines{std::string(listing)};
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with(nickname) || line.size() == nickname.size() ||
            (line[nickname.size()] != ' ' && line[nickname.size()] != '\t')) {
            continue;
        }
        std::istringstream rest(line.substr(nickname.size()));
        std::string trust;
        rest >> trust;
        std::string extra;
        if (rest >> extra) {
            continue; // a longer nickname that begins with this one
        }
        const auto comma = trust.find(',');
        return trust.substr(0, comma).find('C') != std::string::npos;
    }
    return false;
}

std::string fileNameFor(std::string_view nickname) {
    std::string name;
    for (const char c : nickname) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
        name += plain ? c : '_';
    }
    return name + ".crt";
}

std::optional<std::string> readWhole(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Writes the file whole or not at all (a new file renamed into place).
int writeWhole(const fs::path& path, std::string_view text) {
    const fs::path temporary = path.parent_path() / ("." + path.filename().string() + ".new");
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file || !(file << text) || !file.flush()) {
            const int error = errno != 0 ? errno : EIO;
            std::error_code ec;
            fs::remove(temporary, ec);
            return error;
        }
    }
    std::error_code ec;
    fs::permissions(temporary,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                        fs::perms::others_read,
                    ec);
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        return ec.value() != 0 ? ec.value() : EIO;
    }
    return 0;
}

// The system's command, along the search path or where Debian keeps it.
std::optional<fs::path> findUpdateCommand() {
    if (auto found = findProgram("update-ca-certificates")) {
        return found;
    }
    for (const char* folder : {"/usr/sbin", "/sbin"}) {
        const fs::path candidate = fs::path(folder) / "update-ca-certificates";
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> decodeCertificatePem(std::string_view pem, int& error) {
    error = EBADMSG;
    const auto body = pemBody(pem);
    if (!body) {
        return std::nullopt;
    }
    auto der = decodeBase64(*body);
    if (!der || der->empty() || !Certificate(*der).valid()) {
        return std::nullopt;
    }
    error = 0;
    return der;
}

std::string rootNickname(std::string_view der) {
    const Certificate certificate(der);
    return certificate.valid() ? certificate.nickname() : std::string();
}

std::unique_ptr<RootStore> RootStore::open(int& error) {
    const fs::path database = folderPath(Folder::Home) / ".pki" / "nssdb";
    std::error_code ec;
    if (!fs::is_directory(database, ec)) {
        fs::create_directories(database, ec);
        if (ec) {
            error = ec.value();
            return nullptr;
        }
        fs::permissions(database, fs::perms::owner_all, ec);
    }
    if (!fs::exists(database / "cert9.db", ec)) {
        const auto made = certutil(database, {"-N", "--empty-password"});
        if (!succeeded(made)) {
            error = failureOf(made);
            return nullptr;
        }
    }
    const auto listed = certutil(database, {"-L"});
    if (!succeeded(listed)) {
        error = failureOf(listed);
        return nullptr;
    }

    std::optional<fs::path> anchors =
        folderPath(Folder::TrustStore) / "usr" / "local" / "share" / "ca-certificates";
    auto update = findUpdateCommand();
    if (!fs::is_directory(*anchors, ec) || access(anchors->c_str(), W_OK) != 0 || !update) {
        anchors.reset();
        update.reset();
    }
    error = 0;
    return std::unique_ptr<RootStore>(new RootStore(database, anchors, update));
}

int RootStore::add(std::string_view der) {
    const Certificate certificate(der);
    if (!certificate.valid()) {
        return EBADMSG;
    }
    const std::string nickname = certificate.nickname();
    if (const int error = addToNss(der, nickname); error != 0) {
        return error;
    }
    return anchors_ ? addToSystem(der, nickname) : 0;
}

int RootStore::addToNss(std::string_view der, const std::string& nickname) const {
    const auto held = certutil(nssDatabase_, {"-L", "-n", nickname, "-a"});
    bool present = false;
    if (succeeded(held)) {
        for (const auto& one : pemCertificates(held->out)) {
            present = present || one == der;
        }
    }
    if (present) {
        const auto listing = certutil(nssDatabase_, {"-L"});
        if (!succeeded(listing)) {
            return failureOf(listing);
        }
        if (trustedForServers(listing->out, nickname)) {
            return 0; // kept as it is
        }
        const auto trusted = certutil(nssDatabase_, {"-M", "-n", nickname, "-t", kRootTrust});
        return succeeded(trusted) ? 0 : failureOf(trusted);
    }

    // certutil reads the certificate from a file; a private one in the
    // user's temporary folder.
    std::string pattern = (folderPath(Folder::UserTemp) / "corvantix-root-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        return errno;
    }
    const bool written = ::write(fd, der.data(), der.size()) == static_cast<ssize_t>(der.size());
    const int writeError = errno;
    ::close(fd);
    int error = written ? 0 : writeError;
    if (written) {
        const auto added =
            certutil(nssDatabase_, {"-A", "-n", nickname, "-t", kRootTrust, "-i", pattern});
        error = succeeded(added) ? 0 : failureOf(added);
    }
    ::unlink(pattern.c_str());
    return error;
}

int RootStore::addToSystem(std::string_view der, const std::string& nickname) const {
    const auto pem = Certificate(der).pem();
    if (!pem) {
        return EBADMSG;
    }
    // Held under any name (an older one of this root's too): kept as it is.
    std::error_code listing;
    for (fs::directory_iterator it(*anchors_, listing), end; !listing && it != end;
         it.increment(listing)) {
        std::error_code kind;
        if (it->is_regular_file(kind) && readWhole(it->path()) == *pem) {
            return 0;
        }
    }
    const fs::path file = *anchors_ / fileNameFor(nickname);
    if (const int error = writeWhole(file, *pem); error != 0) {
        return error;
    }
    const fs::path base = folderPath(Folder::TrustStore);
    const auto updated = runCaptured(
        {updateCommand_->string(), "--certsconf", (base / "etc" / "ca-certificates.conf").string(),
         "--certsdir", (base / "usr" / "share" / "ca-certificates").string(), "--localcertsdir",
         anchors_->string(), "--etccertsdir", (base / "etc" / "ssl" / "certs").string(),
         "--hooksdir", (base / "etc" / "ca-certificates" / "update.d").string()});
    if (!succeeded(updated)) {
        // Taken back, so that the next import tries again.
        std::error_code ec;
        fs::remove(file, ec);
        return failureOf(updated);
    }
    return 0;
}

} // namespace platform
