// The real monitor with the real worker and the fake service: start-up,
// single instance, configuration, languages, the menu by state, the About
// box, the key sequences, screenshots, the updater's start, the shell's life
// and the ways the monitor ends.

#include "common/Message.h"
#include "monitor/CorvantixCheatCode.h"
#include "platform/window/MessageWindow.h"
#include "tests/monitor/MonitorProgram.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace monitor_test;

class MonitorProgram : public ::testing::Test {
protected:
    MonitorRig rig;
};

TEST_F(MonitorProgram, StartsTheServiceAndTheWatchdogAndShowsTheRunningIcon) {
    rig.startWithIcon();
    EXPECT_TRUE(rig.waitForRuns(1, 10s));
    EXPECT_EQ(rig.runs()[0].argument, "0");
    EXPECT_TRUE(
        waitFor([&] { return !MonitorRig::processesNamed("VondelCorvantixWorker").empty(); }, 10s));
    EXPECT_TRUE(waitFor([] { return MonitorRig::icon() && MonitorRig::icon()->icon == 104; }, 10s));
    const auto record = MonitorRig::icon();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->tip, u"VondelCorvantix");
    EXPECT_EQ(record->callbackMessage, 1025u);
    EXPECT_TRUE(MonitorRig::waitForBalloon("VondelCorvantix turned on"));
    EXPECT_TRUE(rig.waitForLine("Environment: ", 5s));
}

TEST_F(MonitorProgram, SecondInstanceEndsAfterItsWaitForTheInstanceMutex) {
    rig.startWithIcon();
    const auto began = std::chrono::steady_clock::now();
    const pid_t second = rig.startMonitor();
    const auto status = keeper_test::waitStatus(second, 10s);
    const auto took = std::chrono::steady_clock::now() - began;
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_GE(took, 1900ms);
    EXPECT_LT(took, 5s);
    // Only the first monitor's icon and About box.
    EXPECT_EQ(MonitorRig::journal("icon.add").size(), 1u);
    EXPECT_TRUE(MonitorRig::journal("msgbox.open").empty());
}

TEST_F(MonitorProgram, ShellDownAtStartEndsTheMonitorWithoutAnIcon) {
    ASSERT_EQ(MonitorRig::tool({"shell", "down"}).exitCode, 0);
    const pid_t pid = rig.startMonitor();
    const auto status = keeper_test::waitStatus(pid, 10s);
    ASSERT_TRUE(status) << "the monitor runs on without its icon";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    const auto added = MonitorRig::journal("icon.add");
    ASSERT_FALSE(added.empty());
    EXPECT_EQ(MonitorRig::text(added.back(), "why"), "shell down");
    EXPECT_FALSE(platform::findWindow(kClass));
}

TEST_F(MonitorProgram, RestartedShellGetsTheIconAgain) {
    rig.startWithIcon();
    ASSERT_EQ(MonitorRig::tool({"shell", "down"}).exitCode, 0);
    ASSERT_FALSE(MonitorRig::icon());
    ASSERT_EQ(MonitorRig::tool({"shell", "restart"}).exitCode, 0);
    EXPECT_TRUE(waitFor([] { return MonitorRig::icon().has_value(); }, 5s));
}

struct ConfigCase {
    const char* name;
    std::optional<std::string> file;
    std::string fileAfter;
    bool screenshot;
    bool silent;
};

class MonitorConfiguration : public MonitorProgram,
                             public ::testing::WithParamInterface<ConfigCase> {};

TEST_P(MonitorConfiguration, SettingsAndTheFileAfterStart) {
    const auto& row = GetParam();
    if (row.file) {
        rig.writeConfig(*row.file);
    }
    // In debug mode the menu shows the screenshot setting too.
    rig.box.write(fs::relative(MonitorRig::debugIni(), rig.box.root()),
                  "[VondelCorvantix]\nLog Level=5");
    rig.startWithIcon();
    EXPECT_EQ(testing_support::Sandbox::read(MonitorRig::configFile()), row.fileAfter);
    const std::string layout = MonitorRig::menuLayout();
    EXPECT_NE(layout.find(row.silent ? "61011 " : "61011* "), std::string::npos) << layout;
    EXPECT_NE(layout.find(row.screenshot ? "61012* " : "61012 "), std::string::npos) << layout;
}

INSTANTIATE_TEST_SUITE_P(
    Files, MonitorConfiguration,
    ::testing::Values(
        ConfigCase{"Missing", std::nullopt,
                   "isScreenShot=false\nsilentmode=false\nautocheckupdate=true\n", false, false},
        ConfigCase{"Empty", "", "isScreenShot=false\nsilentmode=false\nautocheckupdate=true\n",
                   false, false},
        ConfigCase{"SilentOnly", "silentmode=true\n",
                   "isScreenShot=false\nsilentmode=true\nautocheckupdate=true\n", false, true},
        ConfigCase{"UpdateCheckOffOnly", "autocheckupdate=false",
                   "isScreenShot=false\nsilentmode=false\nautocheckupdate=false\n", false, false},
        ConfigCase{"ScreenshotOnlyKeepsItOn", "isScreenShot=true",
                   "isScreenShot=true\nsilentmode=false\nautocheckupdate=true\n", true, false},
        ConfigCase{"FalseBeforeTrue",
                   "isScreenShot=true isScreenShot=false\nsilentmode=true\nautocheckupdate=false\n",
                   "isScreenShot=true isScreenShot=false\nsilentmode=true\nautocheckupdate=false\n",
                   false, true},
        ConfigCase{"CompleteFileIsLeftAlone",
                   "autocheckupdate=true\nsilentmode=false\nisScreenShot=true\n",
                   "autocheckupdate=true\nsilentmode=false\nisScreenShot=true\n", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorProgram, MenuCommandsSaveTheSettings) {
    rig.startWithIcon();
    // Reached only by a posted command.
    ASSERT_EQ(platform::postMessage(kClass, 0x0111, 61018), platform::SendStatus::Ok);
    EXPECT_TRUE(waitFor(
        [] {
            return testing_support::Sandbox::read(MonitorRig::configFile()) ==
                   "isScreenShot=false\nsilentmode=false\nautocheckupdate=false\n";
        },
        5s));
    MonitorRig::choose(61011);
    EXPECT_TRUE(waitFor(
        [] {
            return testing_support::Sandbox::read(MonitorRig::configFile()) ==
                   "isScreenShot=false\nsilentmode=true\nautocheckupdate=false\n";
        },
        5s));
    EXPECT_NE(MonitorRig::menuLayout().find("61011 "), std::string::npos);
}

struct LocaleCase {
    const char* name;
    std::string locale;
    std::string quit;       // the menu's last item
    std::string aboutLabel; // the About item
    std::string logLine;
};

class MonitorLocale : public MonitorProgram, public ::testing::WithParamInterface<LocaleCase> {};

TEST_P(MonitorLocale, TextsFollowTheUsersLocale) {
    const auto& row = GetParam();
    rig.startWithIcon(localeEnvironment(row.locale));
    const auto menu = MonitorRig::openMenu();
    ASSERT_TRUE(menu);
    MonitorRig::tool({"menu", "dismiss"});
    const auto& items = *menu->find("items")->asArray();
    EXPECT_EQ(MonitorRig::text(items.back(), "text"), row.quit);
    bool aboutFound = false;
    for (const auto& item : items) {
        const JsonValue* id = item.find("id");
        if (id != nullptr && id->asNumber() == 61004) {
            aboutFound = true;
            EXPECT_EQ(MonitorRig::text(item, "text"), row.aboutLabel);
        }
    }
    EXPECT_TRUE(aboutFound);
    EXPECT_TRUE(rig.waitForLine(row.logLine, 5s)) << rig.logText();
}

INSTANTIATE_TEST_SUITE_P(
    Locales, MonitorLocale,
    ::testing::Values(
        LocaleCase{"zh_CN", "zh_CN.UTF-8", "退出", "关于", "Language: Language_SimpChinese"},
        LocaleCase{"zh_TW", "zh_TW.UTF-8", "離開", "關於", "Language: Language_TradChinese"},
        LocaleCase{"ja_JP", "ja_JP.UTF-8", "中止", "バージョン情報", "Language: Language_Japan"},
        LocaleCase{"en_US", "en_US.UTF-8", "Quit", "About", "Language: Language_English"},
        LocaleCase{"de_DE", "de_DE.UTF-8", "Quit", "About", "Language (default): Language_English"},
        LocaleCase{"none", "", "Quit", "About", "Language (default): Language_English"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorProgram, MenuByStateAndDebugMode) {
    rig.setServiceMode("stay");
    rig.startWithIcon();
    ASSERT_TRUE(waitFor([] { return MonitorRig::icon() && MonitorRig::icon()->icon == 104; }, 10s));
    EXPECT_EQ(MonitorRig::menuLayout(),
              "61001 61003 [61007 61008* 61013 61010] 61011* 61004 - 40003");

    MonitorRig::choose(61001);
    ASSERT_TRUE(waitFor([] { return MonitorRig::icon() && MonitorRig::icon()->icon == 105; }, 10s));
    EXPECT_EQ(MonitorRig::menuLayout(), "61002 [61007 61008* 61013 61010] 61011* 61004 - 40003");

    // A language from the menu: checked, and told in the new language.
    MonitorRig::choose(61013);
    EXPECT_TRUE(MonitorRig::waitForBalloon("に切り替え日本語"));
    EXPECT_EQ(MonitorRig::menuLayout(), "61002 [61007 61008 61013* 61010] 61011* 61004 - 40003");
    MonitorRig::choose(61008);
    EXPECT_TRUE(MonitorRig::waitForBalloon("Switch toEnglish"));

    // Debug mode by a posted command shows its items.
    ASSERT_EQ(platform::postMessage(kClass, 0x0111, 61005), platform::SendStatus::Ok);
    ASSERT_TRUE(waitFor([] { return fs::exists(MonitorRig::debugIni()); }, 5s));
    EXPECT_EQ(MonitorRig::menuLayout(),
              "61002 [61007 61008* 61013 61010] 61011* 61004 - 61012 61015 - 40003");
}

struct AboutCase {
    const char* name;
    std::string locale;
    bool debug;
    std::string text;
};

const std::string kRights = "Copyright (C) 2022 Vondel Software. All rights reserved. \n";

class MonitorAbout : public MonitorProgram, public ::testing::WithParamInterface<AboutCase> {};

TEST_P(MonitorAbout, CaptionAndTextPerLanguageAndMode) {
    const auto& row = GetParam();
    // Two components: the walk lists the first it reaches, in Big5.
    const fs::path data = getCopyPath("VondelCorvantix");
    rig.box.write(fs::relative(data / "A" / "DisplayName.txt", rig.box.root()), "\xa5\x64\xb1\xb1");
    rig.box.write(fs::relative(data / "A" / "Version.txt", rig.box.root()), "2.3.4");
    if (row.debug) {
        rig.box.write(fs::relative(MonitorRig::debugIni(), rig.box.root()), "[VondelCorvantix]\n");
    }
    rig.startWithIcon(localeEnvironment(row.locale));
    const auto about = MonitorRig::openAbout();
    ASSERT_TRUE(about);
    EXPECT_EQ(*about, row.text);
    // A second request while the box is open does nothing.
    EXPECT_EQ(MonitorRig::tool({"icon", "double-click", std::string(kClass)}).exitCode, 0);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(MonitorRig::journal("msgbox.open").size(), 1u);
    EXPECT_TRUE(MonitorRig::closeAbout());
    EXPECT_TRUE(waitFor([] { return MonitorRig::journal("msgbox.close").size() == 1; }, 5s));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MonitorAbout,
    ::testing::Values(
        AboutCase{"English", "en_US.UTF-8", false, "卡控 Version:2.3.4 \n" + kRights},
        AboutCase{"EnglishDebug", "en_US.UTF-8", true,
                  "卡控 Version:2.3.4 \nVondelCorvantix program version: 1.0.22.0804 \nMonitor "
                  "version: 1.0.20.0309 \n" +
                      kRights},
        AboutCase{"Japanese", "ja_JP.UTF-8", false, "卡控 バージョン：2.3.4 \n" + kRights},
        AboutCase{"JapaneseDebug", "ja_JP.UTF-8", true,
                  "卡控 バージョン：2.3.4 \nVondelCorvantix プログラムバージョン：1.0.22.0804 "
                  "\nMonitor バージョン：1.0.20.0309 \n" +
                      kRights},
        AboutCase{"TradChineseDebug", "zh_TW.UTF-8", true,
                  "卡控 版本：2.3.4 \nVondelCorvantix 主程式版本：1.0.22.0804 \nMonitor "
                  "版本：1.0.20.0309 \n" +
                      kRights},
        AboutCase{"SimpChinese", "zh_CN.UTF-8", false, "卡控 版本：2.3.4 \n" + kRights}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(MonitorProgram, SequenceTypedInTheAboutBoxTurnsDebugModeOnAndTheMenuTurnsItOff) {
    rig.startWithIcon();
    ASSERT_TRUE(MonitorRig::openAbout());
    std::vector<std::string> words = {"key", "press", "--wait", "3000"};
    const auto sequences = cheatCodeSequences();
    for (const auto key : sequences[1]) {
        words.push_back(std::to_string(key));
    }
    ASSERT_EQ(MonitorRig::tool(words).exitCode, 0);
    // The balloon comes last, once the INI file and the log folder are there.
    ASSERT_TRUE(MonitorRig::waitForBalloon("Turn on debug mode"));
    EXPECT_EQ(testing_support::Sandbox::read(MonitorRig::debugIni()),
              "[VondelCorvantix]\nLog File=" + MonitorRig::desktop().string() +
                  "/CorvantixLog/VondelCorvantix.txt\nLog Level=5");
    EXPECT_TRUE(fs::is_directory(MonitorRig::desktop() / "CorvantixLog"));
    // Switching closes the About box.
    EXPECT_TRUE(waitFor([] { return MonitorRig::journal("msgbox.close").size() == 1; }, 5s));

    MonitorRig::choose(61015);
    EXPECT_TRUE(waitFor([] { return !fs::exists(MonitorRig::debugIni()); }, 5s));
    EXPECT_TRUE(MonitorRig::waitForBalloon("Turn off debug mode"));
    EXPECT_EQ(MonitorRig::menuLayout().find("61015"), std::string::npos);
}

// Debug mode writes its INI file only as the user's own file in the user's
// own temporary folder, never through a link put in its place, and keeps its
// log folder the user's alone. As root, the temporary folder (and the run
// folder) is one that another account made first, the first holding such a
// link: the monitor leaves them for private ones, says so, keeps working and
// does not start in debug mode.
TEST_F(MonitorProgram, DebugModeWritesNoIniThroughALinkAndItsFoldersArePrivate) {
    const auto& box = rig.box;
    const auto victim = box.write("Home/.profile", "keep\n");
    const bool stranger = geteuid() == 0;
    const auto squatted = box.root() / "Temp";
    if (stranger) {
        ASSERT_EQ(chmod(box.root().c_str(), 01777), 0);
        // The run folder too, as another can make /tmp/corvantix-<uid> first.
        ASSERT_EQ(testing_support::runAsStranger("mkdir -m 0755 '" + (box.root() / "run").string() +
                                                 "' && mkdir -m 0777 '" + squatted.string() +
                                                 "' && ln -s '" + victim.string() + "' '" +
                                                 (squatted / "VondelCorvantix.ini").string() + "'"),
                  0);
        EXPECT_NE(MonitorRig::debugIni().parent_path(), squatted);
    } else {
        fs::create_symlink(victim, MonitorRig::debugIni());
    }
    rig.startWithIcon();
    if (stranger) {
        EXPECT_TRUE(fs::is_empty(box.root() / "run"));
        EXPECT_EQ(MonitorRig::menuLayout().find("61015"), std::string::npos);
        EXPECT_TRUE(rig.waitForLine(
            "Foreign folder refused, private one used: " + squatted.string() + " -> ", 5s))
            << rig.logText();
    }

    ASSERT_EQ(platform::postMessage(kClass, 0x0111, 61005), platform::SendStatus::Ok);
    ASSERT_TRUE(MonitorRig::waitForBalloon("Turn on debug mode"));
    EXPECT_EQ(testing_support::Sandbox::read(victim), "keep\n");
    if (stranger) {
        EXPECT_TRUE(fs::is_symlink(squatted / "VondelCorvantix.ini"));
        EXPECT_EQ(fs::symlink_status(MonitorRig::debugIni()).type(), fs::file_type::regular);
    } else {
        EXPECT_TRUE(fs::is_symlink(MonitorRig::debugIni()));
    }
    struct stat st {};
    ASSERT_EQ(stat((MonitorRig::desktop() / "CorvantixLog").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
}

TEST_F(MonitorProgram, PrintScreenWithTheSettingOnSavesAPngAndTellsItsName) {
    rig.writeConfig("isScreenShot=true\nsilentmode=true\nautocheckupdate=true\n");
    fs::create_directories(MonitorRig::desktop());
    rig.startWithIcon();
    const auto pressed = std::chrono::steady_clock::now();
    ASSERT_EQ(MonitorRig::tool({"key", "press", "--wait", "3000", "printscreen"}).exitCode, 0);
    std::vector<fs::path> pngs;
    ASSERT_TRUE(waitFor(
        [&] {
            pngs.clear();
            for (const auto& entry : fs::directory_iterator(MonitorRig::desktop())) {
                if (entry.path().extension() == ".png") {
                    pngs.push_back(entry.path());
                }
            }
            return !pngs.empty();
        },
        5s));
    ASSERT_EQ(pngs.size(), 1u);
    const std::string name = pngs[0].filename().string();
    EXPECT_TRUE(name.starts_with("VondelCorvantix Screenshots 20")) << name;
    EXPECT_EQ(name.size(),
              std::string("VondelCorvantix Screenshots 2024-02-03 09-05-07.png").size());
    // Shown even in silent mode, after a pause.
    const std::string notice = "Output " + pngs[0].string() + " to desktop success";
    ASSERT_TRUE(MonitorRig::waitForBalloon(notice));
    EXPECT_GE(std::chrono::steady_clock::now() - pressed, 1200ms);
}

TEST_F(MonitorProgram, FailedScreenshotShowsNoSuccessBalloon) {
    rig.writeConfig("isScreenShot=true\nsilentmode=true\nautocheckupdate=true\n");
    fs::remove_all(MonitorRig::desktop());
    rig.startWithIcon();
    ASSERT_EQ(MonitorRig::tool({"key", "press", "--wait", "3000", "printscreen"}).exitCode, 0);
    EXPECT_TRUE(rig.waitForLine("Save screenshot fail: ", 5s));
    std::this_thread::sleep_for(1500ms);
    for (const auto& balloon : MonitorRig::balloons()) {
        EXPECT_EQ(balloon.find("to desktop success"), std::string::npos) << balloon;
    }
}

TEST_F(MonitorProgram, PrintScreenWithTheSettingOffSavesNothing) {
    fs::create_directories(MonitorRig::desktop());
    rig.startWithIcon();
    MonitorRig::tool({"key", "press", "--wait", "500", "printscreen"});
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(fs::is_empty(MonitorRig::desktop()));
}

std::string signedJson(std::string_view instruction) {
    return *corvantixMessageToJson(createCorvantixMessage("CorvantixWorker", kClass, instruction));
}

TEST_F(MonitorProgram, CopyDataWithoutItsEndInsideTheSizeIsDropped) {
    rig.startWithIcon();
    ASSERT_TRUE(rig.waitForRuns(1, 10s));
    const std::string json = signedJson(kInstructionStop);
    // The text fills the payload exactly: no zero byte inside the size.
    EXPECT_TRUE(platform::sendCopyData(kClass, 0, json));
    EXPECT_TRUE(rig.waitForLine("Verify CorvantixMessage fail", 5s));
    EXPECT_EQ(rig.countLines("Receive COPYDATA message: "), 0u);
    EXPECT_FALSE(MonitorRig::processesNamed("VondelCorvantix").empty());

    EXPECT_TRUE(platform::sendCopyData(kClass, 0, json + std::string(1, '\0'), 15000));
    EXPECT_TRUE(rig.waitForLine("Receive COPYDATA message: CorvantixInstruction_Stop", 5s));
    EXPECT_TRUE(waitFor([] { return MonitorRig::processesNamed("VondelCorvantix").empty(); }, 10s));
}

struct UpdaterCase {
    const char* name;
    bool installed;
};

void PrintTo(const UpdaterCase& row, std::ostream* out) {
    *out << row.name;
}

// The monitor in a folder whose name holds a blank: the updater beside it
// is started by its whole path, never by the path's first word, and a start
// that fails is told with its own result.
class MonitorUpdater : public ::testing::TestWithParam<UpdaterCase> {
protected:
    std::string programRuns() const {
        return testing_support::Sandbox::read(rig.box.root() / "program-runs.txt");
    }
    MonitorRig rig{Service::Fake, "My Programs"};
};

TEST_P(MonitorUpdater, IsStartedByItsWholePath) {
    // What the path's first word names.
    fs::copy_file(RECORD_RUN, rig.box.root() / "My");
    if (GetParam().installed) {
        rig.install(RECORD_RUN, "CorvantixUpgrader");
    }
    rig.startWithIcon();
    ASSERT_EQ(platform::postMessage(kClass, 0x0111, 61017), platform::SendStatus::Ok);
    EXPECT_TRUE(rig.waitForLine(
        "Check Corvantix: " + (rig.programFolder() / "CorvantixUpgrader.exe").string(), 5s));
    if (GetParam().installed) {
        EXPECT_TRUE(
            waitFor([&] { return programRuns() == "CorvantixUpgrader -checkupdate\n"; }, 5s))
            << programRuns();
        std::this_thread::sleep_for(1500ms);
        EXPECT_EQ(rig.countLines("ShellExecute error:"), 0u) << rig.logText();
    } else {
        EXPECT_TRUE(rig.waitForLine("[Error] ShellExecute error:" + std::to_string(ENOENT), 5s))
            << rig.logText();
        EXPECT_EQ(programRuns(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MonitorUpdater,
                         ::testing::Values(UpdaterCase{"Installed", true},
                                           UpdaterCase{"Missing", false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct EndCase {
    const char* name;
    std::function<void()> end;
};

class MonitorEnd : public MonitorProgram, public ::testing::WithParamInterface<EndCase> {};

TEST_P(MonitorEnd, EndsTheServiceTheWatchdogAndTheIcon) {
    const pid_t pid = rig.startWithIcon();
    ASSERT_TRUE(rig.waitForRuns(1, 10s));
    ASSERT_TRUE(
        waitFor([] { return !MonitorRig::processesNamed("VondelCorvantixWorker").empty(); }, 10s));
    GetParam().end();
    const auto status = keeper_test::waitStatus(pid, 20s);
    ASSERT_TRUE(status) << "the monitor runs on\n" << rig.logText();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_FALSE(MonitorRig::icon());
    EXPECT_TRUE(MonitorRig::processesNamed("VondelCorvantix").empty());
    EXPECT_TRUE(
        waitFor([] { return MonitorRig::processesNamed("VondelCorvantixWorker").empty(); }, 5s));
}

INSTANTIATE_TEST_SUITE_P(
    Ways, MonitorEnd,
    ::testing::Values(
        EndCase{"QuitFromTheMenu", [] { MonitorRig::choose(40003); }},
        EndCase{"WindowClose",
                [] { EXPECT_EQ(platform::postMessage(kClass, 0x0010), platform::SendStatus::Ok); }},
        EndCase{"QuitInstructionToTheTrayWindow",
                [] {
                    EXPECT_TRUE(platform::sendCopyData(
                        kClass, 0, signedJson(kInstructionSuicide) + std::string(1, '\0'), 15000));
                }},
        // Handled on a receiver thread: the tray's loop ends all the same.
        EndCase{"QuitInstructionToTheKeepersReceiver",
                [] {
                    EXPECT_EQ(MonitorRig::tool(
                                  {"send", "VondelMonitor", "0",
                                   *corvantixMessageToJson(createCorvantixMessage(
                                       "CorvantixWorker", "VondelMonitor", kInstructionSuicide))})
                                  .exitCode,
                              0);
                }}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
