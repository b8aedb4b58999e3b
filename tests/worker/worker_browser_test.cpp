// The imported roots are what the browser trusts: after "-importRootCACert"
// into a home without an NSS database, a bank page in headless Chromium
// reaches the service over HTTPS; nothing else set up the trust.

#include "tests/program/PageServer.h"
#include "tests/program/ServiceProgram.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace {

namespace fs = std::filesystem;
using namespace service_program;

class WorkerBrowser : public ServiceProgram {};

TEST_F(WorkerBrowser, ImportedRootsLetAPageReachTheService) {
    const fs::path home = box.root() / "Home";
    ASSERT_FALSE(fs::exists(home));
    const fs::path worker = program.parent_path() / "VondelCorvantixWorker";
    fs::copy_file(WORKER_PROGRAM, worker);
    start();
    ASSERT_TRUE(ready());

    // Chromium reads the user's database below $HOME, as the worker writes it.
    setenv("HOME", home.c_str(), 1);
    const std::string page = bankPage();
    const auto before = browseBankPage(page, box.root() / "profile-before");
    ASSERT_TRUE(before.has_value()) << "the page never reported";
    EXPECT_TRUE(before->starts_with("error=")) << *before;

    EXPECT_EQ(testing_support::runProgram({worker.string(), "-importRootCACert"}), 0);
    EXPECT_TRUE(fs::exists(home / ".pki" / "nssdb" / "cert9.db"));
    const auto after = browseBankPage(page, box.root() / "profile-after");
    ASSERT_TRUE(after.has_value()) << "the page never reported";
    EXPECT_EQ(*after, "echo=0\nserver=1.0.22.0804\nlib=1,0,18,719\nset=0\nget=hello value");
}

} // namespace
