#include "common/Tool.h"
#include "common/ToolSystem.h"
#include "platform/folders/Folders.h"
#include "platform/osversion/OsVersion.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using testing_support::Sandbox;

TEST(Files, IsFileExistAndReadFileText) {
    Sandbox box;
    const auto file = box.write("a/b.txt", "one\r\ntwo\nthree\r\n");
    const auto empty = box.write("a/empty.txt", "");
    EXPECT_TRUE(isFileExist(file));
    EXPECT_TRUE(isFileExist(empty));
    EXPECT_FALSE(isFileExist(box.root() / "a"));
    EXPECT_FALSE(isFileExist(box.root() / "a/missing.txt"));
    EXPECT_FALSE(isFileExist(box.root() / "missing/dir/x"));

    EXPECT_EQ(readFileText(file), "one\ntwo\nthree\n");
    EXPECT_EQ(readFileText(empty), std::nullopt);
    EXPECT_EQ(readFileText(box.root() / "a/missing.txt"), std::nullopt);
    EXPECT_EQ(readFileText(std::nullopt), std::nullopt);
}

TEST(Folders, EveryFolderLiesInTheSandbox) {
    Sandbox box;
    const auto inside = [&](const fs::path& p) {
        const auto rel = fs::relative(p, box.root());
        return !rel.empty() && *rel.begin() != "..";
    };
    EXPECT_EQ(getCopyPath(kProductWord), box.root() / "ProgramData" / "VondelCorvantix");
    EXPECT_EQ(lastCopyPath(), box.root() / "ProgramData" / "VondelCorvantix");
    EXPECT_EQ(getCopyPath(std::nullopt), box.root() / "ProgramData");
    EXPECT_TRUE(inside(*getWindowsPath()));
    EXPECT_TRUE(inside(getUserTempPath()));
    EXPECT_TRUE(getUserTempPath().string().ends_with("/"));
    for (auto f :
         {platform::Folder::Desktop, platform::Folder::Home, platform::Folder::HomeDrive,
          platform::Folder::Run, platform::Folder::GlobalRun, platform::Folder::TrustStore}) {
        EXPECT_TRUE(inside(platform::folderPath(f)));
    }
    EXPECT_EQ(platform::nativePath("C:\\Logs\\a.txt"), box.root() / "C" / "Logs" / "a.txt");
    EXPECT_EQ(platform::nativePath("d:/x"), box.root() / "D" / "x");
    EXPECT_EQ(platform::nativePath("/var/log/x.log"), fs::path("/var/log/x.log"));
    EXPECT_EQ(platform::nativePath("rel\\x.log"), fs::path("rel/x.log"));
    EXPECT_EQ(getExecutePath(), fs::canonical("/proc/self/exe").parent_path());
    EXPECT_TRUE(getUserName().has_value());
}

TEST(Commands, RunCommandWaitGivesExitCodes) {
    Sandbox box;
    EXPECT_EQ(runCommandWait(std::nullopt), 1);
    EXPECT_EQ(runCommandWait("/bin/sh -c \"exit 7\""), 7);
    EXPECT_EQ(runCommandWait("true"), 0);
    EXPECT_EQ(runCommandWait("no-such-program-anywhere --flag"), kCommandNotStarted);
    // A quoted argument with a blank stays one argument.
    const auto target = box.root() / "with blank.txt";
    EXPECT_EQ(runCommandWait("touch \"" + target.string() + "\""), 0);
    EXPECT_TRUE(isFileExist(target));
    // A killed program reports the signal.
    EXPECT_EQ(runCommandWait("/bin/sh -c \"kill -9 $$\""), 128 + SIGKILL);
}

TEST(Commands, HideNoWaitCommandReturnsAtOnce) {
    Sandbox box;
    const auto marker = box.root() / "done";
    const auto start = std::chrono::steady_clock::now();
    hideNOWaitCommand("/bin/sh -c \"sleep 0.3; touch '" + marker.string() + "'\"");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
    EXPECT_FALSE(isFileExist(marker));
    for (int i = 0; i < 100 && !isFileExist(marker); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(isFileExist(marker));
    hideNOWaitCommand(std::nullopt); // refused, nothing started
}

// A child process that holds a mutex until it is killed.
pid_t holdInChild(const std::string& name) {
    // The child keeps the mutex to its end.
    return testing_support::holdInChild([&] { return getMutexLock(name, 0).release() != nullptr; });
}

TEST(Mutexes, HeldByAnotherProcessThenFreedWhenItDies) {
    Sandbox box;
    const pid_t holder = holdInChild("VondelCorvantix.exe");
    ASSERT_GT(holder, 0);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(getMutexLock("VondelCorvantix.exe", 0), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    const auto waited = std::chrono::steady_clock::now();
    EXPECT_EQ(getMutexLock("VondelCorvantix.exe", 200), nullptr);
    EXPECT_GE(std::chrono::steady_clock::now() - waited, std::chrono::milliseconds(190));

    // Another name is not affected.
    EXPECT_NE(getMutexLock("VondelCorvantixMonitor.exe", 0), nullptr);

    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    auto mine = getMutexLock("VondelCorvantix.exe", 0);
    ASSERT_NE(mine, nullptr);
    EXPECT_TRUE(mine->held());
    // Threads of one process exclude each other too.
    std::thread other([] { EXPECT_EQ(getMutexLock("VondelCorvantix.exe", 0), nullptr); });
    other.join();
    mine.reset();
    EXPECT_NE(getMutexLock("VondelCorvantix.exe", 0), nullptr);
    EXPECT_EQ(getMutexLock(std::nullopt, 0), nullptr);
}

TEST(Mutexes, NamesAreKeptPerUserAndGlobalNamesMachineWide) {
    Sandbox box;
    const auto user = *getUserName();
    EXPECT_EQ(platform::NamedMutex::lockFilePath(user + "_X").parent_path(),
              platform::folderPath(platform::Folder::Run));
    EXPECT_EQ(platform::NamedMutex::lockFilePath("Global\\QxLog"),
              platform::folderPath(platform::Folder::GlobalRun) / "QxLog.lock");
    auto held = getMutexLock("Channel_Instruction", 0);
    ASSERT_NE(held, nullptr);
    EXPECT_TRUE(fs::exists(platform::NamedMutex::lockFilePath(user + "_Channel_Instruction")));
}

// A socket bound to a free loopback port, listening when asked.
struct Socket {
    Socket(bool ipv6, bool listening) {
        fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        if (ipv6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            socklen_t n = sizeof a;
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
            port = ntohs(a.sin6_port);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            socklen_t n = sizeof a;
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
            port = ntohs(a.sin_port);
        }
        if (listening) {
            listen(fd, 4);
        }
    }
    ~Socket() { close(fd); }
    int fd;
    int port = 0;
};

TEST(Ports, DetectPortSeesListeningLoopbackSockets) {
    for (const bool ipv6 : {false, true}) {
        SCOPED_TRACE(ipv6 ? "::1" : "127.0.0.1");
        int port = 0;
        {
            Socket s(ipv6, true);
            port = s.port;
            ASSERT_GT(port, 0);
            EXPECT_TRUE(detectPort(port, ipv6));
            EXPECT_FALSE(detectPort(port, !ipv6));
        }
        EXPECT_FALSE(detectPort(port, ipv6));
        // Bound but not listening is not "in use" for the probe.
        Socket idle(ipv6, false);
        EXPECT_FALSE(detectPort(idle.port, ipv6));
    }
}

struct OsCase {
    const char* record;
    std::uint32_t flags;
    const char* name;
};

TEST(OsFlags, VersionRecordsGiveFlagsAndNames) {
    const OsCase cases[] = {
        {"10.0.19045 workstation x64", 0x4000 | 0x200000, "Windows10"},
        {"10.0.22631 workstation x64", 0x8000 | 0x200000, "Windows11"},
        {"10.0.22000 workstation x86", 0x8000 | 0x100000, "Windows11"},
        {"10.0.17763 server x64", 0x2000 | 0x200000, "WindowsServer2016"},
        {"5.1.2600 workstation x86", 0x1 | 0x100000, "WindowsXP"},
        {"5.2.3790 workstation x64", 0x2 | 0x200000, "WindowsXPx64"},
        {"5.2.3790 workstation ia64", 0x2 | 0x200000, "WindowsXPx64"},
        {"5.2.3790 server x86", 0x4 | 0x100000, "WindowsServer2003"},
        {"5.2.3790 server x86 r2", 0x10 | 0x100000, "WindowsServer2003R2"},
        {"5.2.3790 server x86 r2 homeserver", 0x8 | 0x100000, "WindowsHomeServer"},
        {"6.0.6002 workstation x86", 0x20 | 0x100000, "WindowsVista"},
        {"6.0.6002 server x64", 0x40 | 0x200000, "WindowsServer2008"},
        {"6.1.7601 workstation x64", 0x100 | 0x200000, "Windows7"},
        {"6.1.7601 dc x64", 0x80 | 0x200000, "WindowsServer2008R2"},
        {"6.2.9200 workstation x64", 0x400 | 0x200000, "Windows8"},
        {"6.2.9200 server x64", 0x200 | 0x200000, "WindowsServer2012"},
        {"6.3.9600 workstation arm", 0x1000 | 0x100000, "Windows8.1"},
        {"6.3.9600 server x64", 0x800 | 0x200000, "WindowsServer2012R2"},
        {"5.0.2195 workstation x86", 0, "UnknowOS"},
        {"5.3.1 workstation x86", 0, "UnknowOS"},
        {"6.4.9841 workstation x64", 0, "UnknowOS"},
        {"10.1.1 workstation x64", 0, "UnknowOS"},
        {"11.0.1 workstation x64", 0x200000, "UnknowOS"},
        {"unreadable", 0, "UnknowOS"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.record);
        const auto record = platform::parseOsVersionRecord(c.record);
        ASSERT_TRUE(record.has_value());
        platform::setOsVersionRecord(*record);
        EXPECT_EQ(getOsFlags(), c.flags);
        EXPECT_EQ(getOsName(getOsFlags()), c.name);
    }
    platform::setOsVersionRecord(std::nullopt);
    EXPECT_FALSE(platform::parseOsVersionRecord("10.0 workstation").has_value());
    EXPECT_FALSE(platform::parseOsVersionRecord("10.0.1 spaceship").has_value());
}

TEST(OsFlags, DefaultAndEnvironmentRecord) {
    Sandbox box;
    EXPECT_EQ(getOsFlags(), 0x4000u | 0x200000u);
    setenv("CORVANTIX_OSVERSION", "5.1.2600 workstation x86", 1);
    EXPECT_EQ(getOsFlags(), 0x1u | 0x100000u);
    const auto kernel = getKernelVersion();
    ASSERT_TRUE(kernel.has_value());
    EXPECT_EQ(kernel->build, 2600u);
    unsetenv("CORVANTIX_OSVERSION");
    // The lowest version bit wins.
    EXPECT_EQ(getOsName(0x4000 | 0x100 | 0x200000), "Windows7");
    EXPECT_EQ(getOsName(0), "UnknowOS");
    EXPECT_EQ(getOsName(0x200000), "UnknowOS");
}

} // namespace
