// "-importRootCACert": both built-in roots into the user's NSS database and,
// where it is there, the system's trust store, each once; and the lines and
// the failure status when a store does not open or take a root.

#include "common/ToolLog.h"
#include "platform/process/Process.h"
#include "tests/worker/WorkerProgram.h"
#include "worker/RootCertificate.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace worker_test;
using message_test::contains;
using message_test::inOrder;

std::size_t copiesInNss(const fs::path& home, const std::string& nickname) {
    const auto run = platform::runCaptured(
        {"certutil", "-d", "sql:" + (home / ".pki/nssdb").string(), "-L", "-n", nickname, "-a"});
    std::size_t n = 0;
    for (auto at = run ? run->out.find("-----BEGIN") : std::string::npos; at != std::string::npos;
         at = run->out.find("-----BEGIN", at + 1)) {
        ++n;
    }
    return n;
}

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

class WorkerImport : public ::testing::TestWithParam<StoreRow> {
protected:
    fs::path home() const { return sandbox.box.root() / "Home"; }
    fs::path anchors() const {
        return sandbox.box.root() / "TrustStore/usr/local/share/ca-certificates";
    }
    WorkerSandbox sandbox;
};

TEST_P(WorkerImport, AddsBothRootsOnceAndSucceeds) {
    if (GetParam().systemStore) {
        fs::create_directories(anchors());
        fs::create_directories(sandbox.box.root() / "TrustStore/etc/ssl/certs");
    }
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(sandbox.run({"-importRootCACert"}).status, 0);
        for (const char* name : {"Corvantix Local Root ECDSA", "Corvantix Local Root RSA"}) {
            EXPECT_EQ(copiesInNss(home(), name), 1u) << name;
        }
    }
    EXPECT_FALSE(sandbox.countLines("[Error]")) << sandbox.logText();
    EXPECT_EQ(sandbox.countLines("System trust store: Not there or not writable, left out"),
              GetParam().systemStore ? 0u : 4u);
    if (GetParam().systemStore) {
        EXPECT_TRUE(fs::exists(anchors() / "Corvantix_Local_Root_ECDSA.crt"));
        EXPECT_TRUE(fs::exists(anchors() / "Corvantix_Local_Root_RSA.crt"));
    }
}

INSTANTIATE_TEST_SUITE_P(Stores, WorkerImport,
                         ::testing::Values(StoreRow{"UserDatabaseOnly", false},
                                           StoreRow{"WithTheSystemStore", true}),
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
