// The local machine's root store: PEM decoding, the roots' nicknames, the
// user's NSS database (made when missing, a root added once and trusted),
// and the system's trust store below the sandbox where it exists.

#include "platform/process/Process.h"
#include "platform/rootstore/RootStore.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testing_support::Sandbox;

const fs::path kCerts = fs::path(CORVANTIX_SOURCE_DIR) / "certs";
// The name the roots were once added under, their common name alone.
constexpr const char* kEcdsaCommonName = "Corvantix Local Root ECDSA";

std::string der(const char* file) {
    int error = 0;
    return platform::decodeCertificatePem(Sandbox::read(kCerts / file), error).value_or("");
}

const std::string kEcdsaName = platform::rootNickname(der("root-ecdsa.pem"));
const std::string kRsaName = platform::rootNickname(der("root-rsa.pem"));

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// The anchor files that hold the root of the certs/ file.
std::vector<fs::path> anchorsHolding(const fs::path& anchors, const char* file) {
    int error = 0;
    const auto wanted = platform::decodeCertificatePem(Sandbox::read(kCerts / file), error);
    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(anchors, ec), end; !ec && it != end; it.increment(ec)) {
        if (platform::decodeCertificatePem(Sandbox::read(it->path()), error) == wanted) {
            files.push_back(it->path());
        }
    }
    return files;
}

// The body of a PEM text without its BEGIN and END lines.
std::string bodyOf(const std::string& pem) {
    const auto start = pem.find('\n') + 1;
    return pem.substr(start, pem.find("-----END") - start);
}

TEST(CertificatePem, DecodesWithOrWithoutHeaderLines) {
    const std::string pem = Sandbox::read(kCerts / "root-rsa.pem");
    const std::string expected = der("root-rsa.pem");
    ASSERT_GT(expected.size(), 1000u);
    EXPECT_EQ(static_cast<unsigned char>(expected[0]), 0x30); // a DER sequence

    std::string crlf;
    for (const char c : pem) {
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    for (const std::string& text : {pem, bodyOf(pem), crlf, "  \n" + pem}) {
        int error = -1;
        EXPECT_EQ(platform::decodeCertificatePem(text, error), expected) << text.substr(0, 40);
        EXPECT_EQ(error, 0);
    }
}

TEST(CertificatePem, RefusesWhatIsNoCertificate) {
    const std::string pem = Sandbox::read(kCerts / "root-ecdsa.pem");
    const std::string rows[] = {
        "",
        pem.substr(0, pem.find("-----END")),                                  // no end line
        "-----BEGIN CERTIFICATE-----\nAAAA*AAA\n-----END CERTIFICATE-----\n", // not Base64
        "SGVsbG8sIHdvcmxkIQ==",                        // Base64, but no certificate
        bodyOf(pem).substr(0, bodyOf(pem).size() / 2), // cut short
    };
    for (const auto& text : rows) {
        int error = 0;
        EXPECT_FALSE(platform::decodeCertificatePem(text, error)) << text.substr(0, 40);
        EXPECT_EQ(error, EBADMSG);
    }
}

class RootStoreTest : public ::testing::Test {
protected:
    fs::path database() const { return box.root() / "Home" / ".pki" / "nssdb"; }

    std::string certutil(std::vector<std::string> words) const {
        words.insert(words.begin(), {"certutil", "-d", "sql:" + database().string()});
        const auto run = platform::runCaptured(words);
        return run ? run->out : "";
    }
    // The nickname's line of the listing ("<nickname>   <trust>"), without
    // the blanks that pad it.
    std::string listed(const std::string& nickname) const {
        const std::string all = certutil({"-L"});
        const auto at = all.find(nickname + " ");
        if (at == std::string::npos) {
            return "";
        }
        std::string line = all.substr(at, all.find('\n', at) - at);
        return line.substr(0, line.find_last_not_of(' ') + 1);
    }
    std::size_t copies(const std::string& nickname) const {
        return count(certutil({"-L", "-n", nickname, "-a"}), "-----BEGIN CERTIFICATE-----");
    }
    std::unique_ptr<platform::RootStore> open() const {
        int error = -1;
        auto store = platform::RootStore::open(error);
        EXPECT_EQ(error, 0);
        return store;
    }
    fs::path trustStore() const { return box.root() / "TrustStore"; }
    void makeSystemStore() const {
        fs::create_directories(trustStore() / "usr/local/share/ca-certificates");
        fs::create_directories(trustStore() / "etc/ssl/certs");
    }
    fs::path bundle() const { return trustStore() / "etc/ssl/certs/ca-certificates.crt"; }

    Sandbox box;
};

TEST(RootNickname, IsTheCommonNameWithTheKeysIdentifier) {
    EXPECT_TRUE(std::regex_match(kEcdsaName, std::regex("Corvantix Local Root ECDSA [0-9A-F]{40}")))
        << kEcdsaName;
    EXPECT_TRUE(std::regex_match(kRsaName, std::regex("Corvantix Local Root RSA [0-9A-F]{40}")))
        << kRsaName;
    EXPECT_EQ(platform::rootNickname("not a certificate"), "");
}

TEST_F(RootStoreTest, AFreshHomeGetsADatabaseWithBothRootsTrustedOnce) {
    ASSERT_FALSE(fs::exists(box.root() / "Home"));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const auto store = open();
        ASSERT_TRUE(store);
        EXPECT_EQ(store->nssDatabase(), database());
        EXPECT_FALSE(store->systemAnchors()); // no system store in this sandbox
        EXPECT_EQ(store->add(der("root-ecdsa.pem")), 0);
        EXPECT_EQ(store->add(der("root-rsa.pem")), 0);
        for (const auto& name : {kEcdsaName, kRsaName}) {
            EXPECT_EQ(copies(name), 1u) << name;
            EXPECT_TRUE(listed(name).ends_with("C,C,C")) << listed(name);
        }
    }
    EXPECT_FALSE(fs::exists(trustStore()));
    EXPECT_EQ(fs::status(database()).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(RootStoreTest, ARootThereAlreadyIsKeptAndOnlyMadeTrusted) {
    fs::create_directories(database());
    certutil({"-N", "--empty-password"});
    // Held untrusted under the name it once had, and once more under another name.
    certutil(
        {"-A", "-n", kEcdsaCommonName, "-t", ",,", "-i", (kCerts / "root-ecdsa.pem").string()});
    ASSERT_EQ(copies(kEcdsaCommonName), 1u);
    ASSERT_TRUE(listed(kEcdsaCommonName).ends_with(",,")) << listed(kEcdsaCommonName);
    certutil({"-A", "-n", "Older name", "-t", "C,,", "-i", (kCerts / "root-rsa.pem").string()});

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const auto store = open();
        ASSERT_TRUE(store);
        EXPECT_EQ(store->add(der("root-ecdsa.pem")), 0);
        EXPECT_EQ(store->add(der("root-rsa.pem")), 0);
        // Each root stays one certificate, under the name it had.
        EXPECT_EQ(copies(kEcdsaCommonName), 1u);
        EXPECT_TRUE(listed(kEcdsaCommonName).ends_with("C,C,C")) << listed(kEcdsaCommonName);
        EXPECT_EQ(copies("Older name"), 1u);
        EXPECT_EQ(count(certutil({"-L"}), "Corvantix Local Root"), 1u);
    }
}

TEST_F(RootStoreTest, TheSystemStoreBelowTheSandboxGetsEachRootOnce) {
    makeSystemStore();
    const fs::path anchors = trustStore() / "usr/local/share/ca-certificates";
    fs::file_time_type written;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const auto store = open();
        ASSERT_TRUE(store);
        EXPECT_EQ(store->systemAnchors(), anchors);
        EXPECT_EQ(store->add(der("root-ecdsa.pem")), 0);
        EXPECT_EQ(store->add(der("root-rsa.pem")), 0);
        const auto files = anchorsHolding(anchors, "root-ecdsa.pem");
        ASSERT_EQ(files.size(), 1u);
        const auto file = files[0];
        if (round == 0) {
            written = fs::last_write_time(file);
        } else {
            EXPECT_EQ(fs::last_write_time(file), written); // kept, not written again
        }
        EXPECT_EQ(anchorsHolding(anchors, "root-rsa.pem").size(), 1u);
        const std::string all = Sandbox::read(bundle());
        EXPECT_EQ(count(all, "-----BEGIN CERTIFICATE-----"), 2u);
        EXPECT_NE(all.find(bodyOf(Sandbox::read(kCerts / "root-ecdsa.pem"))), std::string::npos);
        EXPECT_EQ(copies(kEcdsaName), 1u);
    }
    // The machine's own store is never written from a sandbox.
    EXPECT_TRUE(anchorsHolding("/usr/local/share/ca-certificates", "root-ecdsa.pem").empty());
}

TEST_F(RootStoreTest, ARootHeldInTheSystemStoreUnderTheNameItOnceHadIsKept) {
    makeSystemStore();
    const fs::path anchors = trustStore() / "usr/local/share/ca-certificates";
    const auto store = open();
    ASSERT_TRUE(store);
    ASSERT_EQ(store->add(der("root-ecdsa.pem")), 0);
    const auto files = anchorsHolding(anchors, "root-ecdsa.pem");
    ASSERT_EQ(files.size(), 1u);
    fs::rename(files[0], anchors / "Corvantix_Local_Root_ECDSA.crt");
    EXPECT_EQ(store->add(der("root-ecdsa.pem")), 0);
    EXPECT_EQ(anchorsHolding(anchors, "root-ecdsa.pem"),
              std::vector<fs::path>{anchors / "Corvantix_Local_Root_ECDSA.crt"});
}

TEST_F(RootStoreTest, AStoreThatCannotTakeTheRootFailsTheAdd) {
    // The update command fails when the store it rebuilds is missing; the
    // anchor is taken back, so the next add tries again.
    fs::create_directories(trustStore() / "usr/local/share/ca-certificates");
    const auto store = open();
    ASSERT_TRUE(store && store->systemAnchors());
    EXPECT_EQ(store->add(der("root-ecdsa.pem")), EIO);
    EXPECT_TRUE(fs::is_empty(*store->systemAnchors()));
    EXPECT_EQ(store->add("not a certificate"), EBADMSG);
}

struct OpenFailure {
    const char* name;
    std::function<void(const fs::path& home)> plant;
};

void PrintTo(const OpenFailure& row, std::ostream* out) {
    *out << row.name;
}

class RootStoreOpenFailure : public RootStoreTest,
                             public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(RootStoreOpenFailure, GivesNoStoreAndTheError) {
    GetParam().plant(box.root() / "Home");
    int error = 0;
    EXPECT_EQ(platform::RootStore::open(error), nullptr);
    EXPECT_NE(error, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RootStoreOpenFailure,
    ::testing::Values(OpenFailure{"DatabaseFolderCannotBeMade",
                                  [](const fs::path& home) {
                                      fs::create_directories(home);
                                      std::ofstream(home / ".pki")
                                          << "a file where the folder belongs";
                                  }},
                      OpenFailure{"DamagedDatabase",
                                  [](const fs::path& home) {
                                      fs::create_directories(home / ".pki" / "nssdb");
                                      std::ofstream(home / ".pki" / "nssdb" / "cert9.db")
                                          << "damaged";
                                  }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
