// "-importRootCACert": both built-in roots into the user's NSS database and,
// where it is there, the system's trust store, each once, also beside a
// certificate of the same name; and the lines and the failure status when a
// store does not open or take a root.

#include "common/ToolLog.h"
#include "platform/process/Process.h"
#include "platform/rootstore/RootStore.h"
#include "tests/worker/WorkerProgram.h"
#include "worker/RootCertificate.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace worker_test;
using message_test::contains;
using message_test::inOrder;

std::optional<platform::CapturedRun> certutil(const fs::path& home,
                                              std::vector<std::string> words) {
    words.insert(words.begin(), {"certutil", "-d", "sql:" + (home / ".pki/nssdb").string()});
    return platform::runCaptured(words);
}

// The certificates held under the nickname, as PEM text.
std::string heldAs(const fs::path& home, const std::string& nickname) {
    const auto run = certutil(home, {"-L", "-n", nickname, "-a"});
    return run && run->exitCode == 0 ? run->out : "";
}

std::size_t copiesInNss(const fs::path& home, const std::string& nickname) {
    const std::string held = heldAs(home, nickname);
    std::size_t n = 0;
    for (auto at = held.find("-----BEGIN"); at != std::string::npos;
         at = held.find("-----BEGIN", at + 1)) {
        ++n;
    }
    return n;
}

std::string rootDer(const char* file) {
    int error = 0;
    return platform::decodeCertificatePem(
               testing_support::Sandbox::read(fs::path(CORVANTIX_SOURCE_DIR) / "certs" / file),
               error)
        .value_or("");
}

const std::string kEcdsaName = platform::rootNickname(rootDer("root-ecdsa.pem"));
const std::string kRsaName = platform::rootNickname(rootDer("root-rsa.pem"));

TEST(ImportRootCACert, TextThatIsNoCertificateIsAParseFailure) {
    message_test::LoggedSandbox logs;
    ASSERT_TRUE(setLog("CorvantixWorker-Test"));
    EXPECT_FALSE(importRootCACert("-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----"));
    EXPECT_FALSE(importRootCACert(std::nullopt));
    EXPECT_TRUE(
        inOrder(logs.allLines(), {"[Error] Parse root CA failed: " + std::to_string(EBADMSG),
                                  "[Error] Parse root CA failed: " + std::to_string(EINVAL)}));
    EXPECT_FALSE(fs::exists(logs.box.root() / "Home")); // no store was opened
}

struct StoreRow {
    const char* name;
    bool systemStore;
};

void PrintTo(const StoreRow& row, std::ostream* out) {
    *out << row.name;
}

class ImportStores : public ::testing::Test {
protected:
    fs::path home() const { return sandbox.box.root() / "Home"; }
    fs::path anchors() const {
        return sandbox.box.root() / "TrustStore/usr/local/share/ca-certificates";
    }
    WorkerSandbox sandbox;
};

class WorkerImport : public ImportStores, public ::testing::WithParamInterface<StoreRow> {};

TEST_P(WorkerImport, AddsBothRootsOnceAndSucceeds) {
    if (GetParam().systemStore) {
        fs::create_directories(anchors());
        fs::create_directories(sandbox.box.root() / "TrustStore/etc/ssl/certs");
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(sandbox.run({"-importRootCACert"}).status, 0);
        for (const auto& name : {kEcdsaName, kRsaName}) {
            EXPECT_EQ(copiesInNss(home(), name), 1u) << name;
        }
    }
    EXPECT_FALSE(sandbox.countLines("[Error]")) << sandbox.logText();
    EXPECT_EQ(sandbox.countLines("System trust store: Not there or not writable, left out"),
              GetParam().systemStore ? 0u : 4u);
    if (GetParam().systemStore) {
        EXPECT_EQ(std::distance(fs::directory_iterator(anchors()), {}), 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, WorkerImport,
                         ::testing::Values(StoreRow{"UserDatabaseOnly", false},
                                           StoreRow{"WithTheSystemStore", true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ClashRow {
    const char* name;
    const char* subject; // of the certificate already held as "Corvantix Local Root ECDSA"
};

void PrintTo(const ClashRow& row, std::ostream* out) {
    *out << row.name;
}

class WorkerImportClash : public ImportStores, public ::testing::WithParamInterface<ClashRow> {};

// A certificate of another key under the name the ECDSA root goes by,
// another's or an older root of the same subject, in both stores: it stays
// as it is, and the roots are imported beside it, once.
TEST_P(WorkerImportClash, ACertificateOfTheSameNameNeitherBlocksNorIsReplaced) {
    const std::string taken = "Corvantix Local Root ECDSA";
    fs::create_directories(home() / ".pki/nssdb");
    const auto database = certutil(home(), {"-N", "--empty-password"});
    ASSERT_TRUE(database && database->exitCode == 0);
    sandbox.box.write("noise", "noise for the key of the certificate already there");
    const auto made =
        certutil(home(), {"-S", "-n", taken, "-s", GetParam().subject, "-x", "-t", "C,C,C", "-k",
                          "ec", "-q", "nistp256", "-z", (sandbox.box.root() / "noise").string()});
    ASSERT_TRUE(made && made->exitCode == 0);
    const std::string foreign = heldAs(home(), taken);
    ASSERT_EQ(copiesInNss(home(), taken), 1u);
    fs::create_directories(anchors());
    fs::create_directories(sandbox.box.root() / "TrustStore/etc/ssl/certs");
    const fs::path foreignAnchor = sandbox.box.write(
        fs::relative(anchors() / "Corvantix_Local_Root_ECDSA.crt", sandbox.box.root()), foreign);

    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(sandbox.run({"-importRootCACert"}).status, 0) << sandbox.logText();
        EXPECT_EQ(heldAs(home(), taken), foreign);
        for (const auto& name : {kEcdsaName, kRsaName}) {
            EXPECT_EQ(copiesInNss(home(), name), 1u) << name;
        }
        EXPECT_EQ(testing_support::Sandbox::read(foreignAnchor), foreign);
        EXPECT_EQ(std::distance(fs::directory_iterator(anchors()), {}), 3);
    }
    EXPECT_FALSE(sandbox.countLines("[Error]")) << sandbox.logText();
}

INSTANTIATE_TEST_SUITE_P(Subjects, WorkerImportClash,
                         ::testing::Values(ClashRow{"AnotherSubject", "CN=Somebody Else"},
                                           ClashRow{"OlderRootOfTheSameSubject",
                                                    "O=Corvantix,CN=Corvantix Local Root ECDSA"}),
                         [](const auto& info) { return std::string(info.param.name); });

struct FailureRow {
    const char* name;
    std::function<void(const fs::path& root)> plant;
    const char* line; // the failure of each root, before "Import root CA failed <kind>"
};

void PrintTo(const FailureRow& row, std::ostream* out) {
    *out << row.name;
}

class WorkerImportFailure : public ::testing::TestWithParam<FailureRow> {
protected:
    WorkerSandbox sandbox;
};

TEST_P(WorkerImportFailure, LogsEachRootAndEndsWithAFailure) {
    GetParam().plant(sandbox.box.root());
    EXPECT_EQ(sandbox.run({"-importRootCACert"}).status, 1);
    const std::string line = GetParam().line;
    EXPECT_TRUE(inOrder(sandbox.allLines(), {line, "[Error] Import root CA failed ECC", line,
                                             "[Error] Import root CA failed RSA"}))
        << sandbox.logText();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, WorkerImportFailure,
    ::testing::Values(FailureRow{"UserDatabaseCannotBeMade",
                                 [](const fs::path& root) {
                                     fs::create_directories(root / "Home");
                                     std::ofstream(root / "Home/.pki")
                                         << "a file where the folder belongs";
                                 },
                                 "[Error] The CA system store did not open: "},
                      FailureRow{"UserDatabaseDamaged",
                                 [](const fs::path& root) {
                                     fs::create_directories(root / "Home/.pki/nssdb");
                                     std::ofstream(root / "Home/.pki/nssdb/cert9.db") << "damaged";
                                 },
                                 "[Error] The CA system store did not open: 5"},
                      FailureRow{"SystemStoreCannotBeRebuilt",
                                 [](const fs::path& root) {
                                     // Anchors without the store that the update rebuilds.
                                     fs::create_directories(
                                         root / "TrustStore/usr/local/share/ca-certificates");
                                 },
                                 "[Error] Import root CA failed: 5"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
