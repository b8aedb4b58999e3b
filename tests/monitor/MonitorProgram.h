#pragma once

// The real monitor in a logged sandbox, with the real worker beside it and
// the fake or the real service, driven as a user drives it: through the
// desktop-session tool (icon clicks, menus, message boxes, keys) and read
// back from the shell's journal and the notification area.

#include "common/ToolSystem.h"
#include "platform/folders/Folders.h"
#include "platform/shell/NotifyIcon.h"
#include "platform/shell/Shell.h"
#include "platform/ui/JsonLine.h"
#include "tests/monitor/KeeperTestSupport.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace monitor_test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::ui::JsonValue;

inline constexpr std::string_view kClass = "VondelCorvantixMonitor.exe";
inline constexpr std::string_view kCaption = "VondelCorvantix Monitor";

using Environment = std::map<std::string, std::string>;

// The locale variables as a user's session sets them.
inline Environment localeEnvironment(const std::string& locale) {
    return {{"LC_ALL", locale}, {"LC_MESSAGES", locale}, {"LANG", locale}};
}

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

enum class Service { Fake, Real };

class MonitorRig : public keeper_test::ProgramSandbox {
public:
    explicit MonitorRig(Service service = Service::Fake, std::string folder = "Program")
        : ProgramSandbox(std::move(folder)) {
        monitor = install(MONITOR_PROGRAM, "VondelCorvantixMonitor");
        install(WORKER_PROGRAM, "VondelCorvantixWorker");
        if (service == Service::Real) {
            ports = std::make_unique<testing_support::ServicePortsLock>();
            install(SERVICE_PROGRAM, "VondelCorvantix");
            fs::create_directories(programFolder() / "Vondel");
            install(FAKE_ADAPTER, "Vondel/VondelTaveloZynAdapter.so");
        } else {
            install(FAKE_SERVICE, "VondelCorvantix");
        }
    }
    ~MonitorRig() {
        endAll();
        // The service may have been started by a monitor that ended already.
        for (int i = 0; i < 200 && !processesNamed("VondelCorvantix").empty(); ++i) {
            std::this_thread::sleep_for(10ms);
        }
    }

    pid_t startMonitor(const Environment& environment = localeEnvironment("en_US.UTF-8")) {
        keeper_test::SpawnOptions options;
        options.environment = environment;
        return start({monitor.string()}, options);
    }

    // Starts the monitor and waits until its icon is in the notification area.
    pid_t startWithIcon(const Environment& environment = localeEnvironment("en_US.UTF-8")) {
        const pid_t pid = startMonitor(environment);
        EXPECT_TRUE(waitFor([&] { return icon().has_value(); }, 10s)) << logText();
        return pid;
    }

    static std::optional<platform::shell::NotifyIconRecord> icon() {
        for (const auto& record : platform::shell::notifyIcons()) {
            if (record.window == kClass) {
                return record;
            }
        }
        return std::nullopt;
    }

    static testing_support::ProgramRun tool(const std::vector<std::string>& args) {
        std::vector<std::string> words = {SESSION_TOOL};
        words.insert(words.end(), args.begin(), args.end());
        return testing_support::runProgramCapture(words);
    }

    // The journal's entries of one operation, oldest first.
    static std::vector<JsonValue> journal(std::string_view op) {
        std::istringstream in(testing_support::Sandbox::read(platform::shell::journalPath()));
        std::vector<JsonValue> entries;
        for (std::string line; std::getline(in, line);) {
            auto parsed = platform::ui::parseJson(line);
            if (parsed.value && text(*parsed.value, "op") == op) {
                entries.push_back(std::move(*parsed.value));
            }
        }
        return entries;
    }

    static std::string text(const JsonValue& value, std::string_view key) {
        const JsonValue* member = value.find(key);
        const std::string* s = member != nullptr ? member->asString() : nullptr;
        return s != nullptr ? *s : std::string();
    }

    static std::vector<std::string> balloons() {
        std::vector<std::string> all;
        for (const auto& entry : journal("icon.balloon")) {
            all.push_back(text(entry, "text"));
        }
        return all;
    }

    static bool waitForBalloon(const std::string& wanted, std::chrono::milliseconds limit = 10s) {
        return waitFor(
            [&] {
                const auto all = balloons();
                return std::find(all.begin(), all.end(), wanted) != all.end();
            },
            limit);
    }

    // The images the monitor's icon changed to, in order.
    static std::vector<std::int64_t> iconImages() {
        std::vector<std::int64_t> images;
        for (const auto& entry : journal("icon.modify")) {
            const JsonValue* image = entry.find("icon");
            // A balloon repeats the image it shows with: only changes count.
            if (text(entry, "window") == kClass && image != nullptr && image->asNumber() &&
                (images.empty() || images.back() != *image->asNumber())) {
                images.push_back(*image->asNumber());
            }
        }
        return images;
    }

    // The menu as "id" per command ("*" when checked), "-" per separator and
    // "[...]" for a sub-menu.
    static std::string layout(const JsonValue& items) {
        std::string out;
        for (const auto& item : *items.asArray()) {
            if (!out.empty()) {
                out += " ";
            }
            if (item.find("separator") != nullptr) {
                out += "-";
            } else if (const JsonValue* sub = item.find("items")) {
                out += "[" + layout(*sub) + "]";
            } else {
                out += std::to_string(*item.find("id")->asNumber());
                if (item.find("checked")->asBool().value_or(false)) {
                    out += "*";
                }
            }
        }
        return out;
    }

    // Right-clicks the icon and reads the menu that opens; it stays open.
    static std::optional<JsonValue> openMenu() {
        const auto click = tool({"icon", "right-click", std::string(kClass)});
        EXPECT_EQ(click.exitCode, 0);
        const auto shown = tool({"menu", "show", "--wait", "5000"});
        if (shown.exitCode != 0) {
            return std::nullopt;
        }
        auto parsed = platform::ui::parseJson(shown.out);
        if (!parsed.value) {
            return std::nullopt;
        }
        return std::move(*parsed.value);
    }

    static std::string menuLayout() {
        const auto menu = openMenu();
        if (!menu) {
            return "no menu";
        }
        tool({"menu", "dismiss"});
        return layout(*menu->find("items"));
    }

    static void choose(std::uint32_t id) {
        ASSERT_TRUE(openMenu().has_value());
        ASSERT_EQ(tool({"menu", "choose", std::to_string(id)}).exitCode, 0);
    }

    // Double-clicks the icon and waits for the About box; its text.
    static std::optional<std::string> openAbout() {
        const std::size_t before = journal("msgbox.open").size();
        EXPECT_EQ(tool({"icon", "double-click", std::string(kClass)}).exitCode, 0);
        std::optional<std::string> shown;
        waitFor(
            [&] {
                const auto opened = journal("msgbox.open");
                if (opened.size() > before) {
                    EXPECT_EQ(text(opened.back(), "caption"), kCaption);
                    shown = text(opened.back(), "text");
                }
                return shown.has_value();
            },
            10s);
        return shown;
    }

    static bool closeAbout() {
        return tool({"msgbox", "close", std::string(kCaption), "--wait", "5000"}).exitCode == 0;
    }

    static fs::path desktop() { return platform::folderPath(platform::Folder::Desktop); }
    static fs::path debugIni() { return getUserTempPath() / "VondelCorvantix.ini"; }
    static fs::path configFile() {
        return getCopyPath("VondelCorvantix") / "VondelCorvantixConfig";
    }
    void writeConfig(const std::string& text) const {
        fs::create_directories(configFile().parent_path());
        box.write(fs::relative(configFile(), box.root()), text);
    }

    fs::path monitor;
    std::unique_ptr<testing_support::ServicePortsLock> ports;
};

} // namespace monitor_test
