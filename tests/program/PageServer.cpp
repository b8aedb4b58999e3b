#include "tests/program/PageServer.h"

#include "adapter/AdapterUnlockList.h"
#include "common/Tool.h"
#include "tests/program/ServiceProgram.h"
#include "tests/support/Sandbox.h"

#include <csignal>
#include <sys/wait.h>

namespace service_program {

using namespace std::chrono_literals;

std::string bankPage() {
    std::string page = testing_support::Sandbox::read(std::filesystem::path(CORVANTIX_SOURCE_DIR) /
                                                      "tests/program/page.html");
    page = replaceString(page, "@PATH_ID@", kPathId);
    return replaceString(page, "@BANK_DOMAIN@", std::string(kAdapterBankDomain));
}

pid_t startBrowser(const std::string& url, const std::filesystem::path& profile) {
    return testing_support::startProgram(
        {"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
         "--no-first-run", "--disable-background-networking", "--disable-component-update",
         "--disable-sync", "--user-data-dir=" + profile.string(),
         "--host-resolver-rules=MAP *." + std::string(kAdapterBankDomain) + " 127.0.0.1",
         "--remote-debugging-port=0", url},
        true);
}

std::optional<std::string> browseBankPage(const std::string& page,
                                          const std::filesystem::path& profile) {
    PageServer server(page);
    if (server.port() == 0) {
        return std::nullopt;
    }
    const pid_t browser = startBrowser("http://www." + std::string(kAdapterBankDomain) + ":" +
                                           std::to_string(server.port()) + "/",
                                       profile);
    auto report = server.waitReport(60s);
    kill(browser, SIGKILL);
    waitpid(browser, nullptr, 0);
    return report;
}

} // namespace service_program
