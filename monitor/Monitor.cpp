#include "monitor/Monitor.h"

#include "common/Barrier.h"
#include "common/Message.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "monitor/CorvantixCheatCode.h"
#include "monitor/Keeper.h"
#include "monitor/MonitorMessage.h"
#include "monitor/MonitorText.h"
#include "monitor/MonitorTool.h"
#include "platform/event/NamedEvent.h"
#include "platform/folders/Folders.h"
#include "platform/shell/KeyState.h"
#include "platform/shell/Menu.h"
#include "platform/shell/NotifyIcon.h"
#include "platform/shell/Screen.h"
#include "platform/shell/Shell.h"
#include "platform/shell/ShellMessageBox.h"
#include "platform/text/TextCodec.h"
#include "platform/ui/MessageBox.h"
#include "platform/window/MessageWindow.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

namespace {

namespace fs = std::filesystem;
namespace shell = platform::shell;
using namespace std::chrono_literals;

constexpr std::string_view kProduct = "VondelCorvantix";
constexpr std::string_view kDebugModeEvent = "VondelCorvantix_DEBUG_MODE";
constexpr std::string_view kWatchdogMutex = "VondelCorvantixWatchdog";
constexpr std::string_view kWatchdogCommand = "VondelCorvantixWorker.exe -watchdog";
constexpr std::uint32_t kVkPrint = 0x2A;
constexpr std::uint32_t kVkSnapshot = 0x2C;
constexpr auto kScreenshotBalloonDelay = 1214ms;

// Settings and state shared by the tray window's, the keeper's and the key
// threads: one atomic word each.
std::atomic<bool> screenshotSetting{false};
std::atomic<bool> silentMode{false};
std::atomic<bool> autoCheckUpdate{true};
std::atomic<bool> debugMode{false};
std::atomic<bool> serviceRunning{false};
// True while no About box is open.
std::atomic<bool> aboutClosed{true};

// Set during start-up, before any other thread reads them.
fs::path configPath;
fs::path debugIniPath;
std::string debugIniText;
std::unique_ptr<platform::NamedEvent> debugEvent;
std::uint32_t taskbarCreated = 0;

// The icon record: changed by the tray window's and the keeper's threads.
std::mutex iconLock;
shell::NotifyIconData iconData;

// The tray window, while its loop may run; quits come from any thread.
std::mutex windowLock;
platform::MessageWindow* trayWindow = nullptr;

MonitorSettings currentSettings() {
    return {screenshotSetting, silentMode, autoCheckUpdate};
}

void saveConfig() {
    if (!writeTextFile(configPath, buildConfigText(currentSettings()))) {
        logWarning("Write config file: ", "Fail");
    }
}

// ---- Icon and balloons -------------------------------------------------------

void fillIconRecord() {
    std::lock_guard lock(iconLock);
    iconData = {};
    iconData.window = std::string(kMonitorClassName);
    iconData.id = 0;
    iconData.callbackMessage = kTrayMessage;
    iconData.icon = kIconProgram;
    iconData.tip = platform::utf8ToUtf16(kProduct).substr(0, shell::kTipMax);
    iconData.flags =
        shell::kNifMessage | shell::kNifIcon | shell::kNifTip | shell::kNifState | shell::kNifInfo;
}

bool addIcon() {
    std::lock_guard lock(iconLock);
    return shell::notifyIcon(shell::kNimAdd, iconData);
}

// A copy of the record carries the balloon; the record itself keeps none.
void showBalloon(std::u16string_view text) {
    shell::NotifyIconData copy;
    {
        std::lock_guard lock(iconLock);
        copy = iconData;
    }
    copy.info = std::u16string(text.substr(0, shell::kInfoMax));
    copy.flags = shell::kNifIcon | shell::kNifTip | shell::kNifInfo;
    shell::notifyIcon(shell::kNimModify, copy);
}

void setIconImage(std::uint32_t icon) {
    std::lock_guard lock(iconLock);
    iconData.icon = icon;
    shell::NotifyIconData change = iconData;
    change.flags = shell::kNifIcon;
    shell::notifyIcon(shell::kNimModify, change);
}

std::u16string productNotice(Text which) {
    return platform::utf8ToUtf16(kProduct) + u" " + std::u16string(text(which));
}

void notifyServiceRunning() {
    serviceRunning = true;
    setIconImage(kIconRunning);
    if (silentMode) {
        takeRestartNotice();
        return;
    }
    showBalloon(productNotice(takeRestartNotice() ? Text::Restarted : Text::TurnedOn));
}

void notifyServiceStopped() {
    serviceRunning = false;
    setIconImage(kIconStopped);
    if (!silentMode && !restartNoticePending()) {
        showBalloon(productNotice(Text::TurnedOff));
    }
}

// The shell drops the icons of ended programs when the mouse passes them.
void refreshTrayIcons() {
    shell::sweepNotifyIcons();
}

void removeTrayIcon() {
    std::lock_guard lock(iconLock);
    if (!iconData.window.empty()) {
        shell::notifyIcon(shell::kNimDelete, iconData);
    }
    iconData = {};
}

// A quit from any thread ends the tray window's loop: the monitor ends.
void quitTrayLoop() {
    std::lock_guard lock(windowLock);
    if (trayWindow != nullptr) {
        trayWindow->quit();
    }
}

// ---- Debug mode ---------------------------------------------------------------

bool initDebugStatusEvent() {
    if (debugEvent) {
        return false;
    }
    debugEvent = platform::NamedEvent::open(kDebugModeEvent);
    if (!debugEvent) {
        debugEvent = platform::NamedEvent::create(kDebugModeEvent, true, false);
    }
    return debugEvent != nullptr;
}

void signalDebugStatusEvent() {
    if (debugEvent) {
        debugEvent->pulse();
    }
}

void enableLogging() {
    if (!writeTextFile(debugIniPath, debugIniText)) {
        logWarning("[Warning] ", "Write log ini file fail");
    }
    if (const auto desktop = getDesktopPath()) {
        const fs::path folder = *desktop / "CorvantixLog";
        logNormal("Try to create: ", folder.string());
        // The user's alone: what the service logs is nobody else's to read.
        platform::makeOwnFolder(folder);
    }
    followLogIni(logIdentity());
}

void startDebugMode() {
    debugMode = true;
    shell::postCloseByTitle(kAboutCaption);
    enableLogging();
    signalDebugStatusEvent();
    showBalloon(text(Text::DebugOn));
}

void stopDebugMode() {
    debugMode = false;
    shell::postCloseByTitle(kAboutCaption);
    std::error_code ec;
    fs::remove(debugIniPath, ec);
    followLogIni(logIdentity());
    signalDebugStatusEvent();
    showBalloon(text(Text::DebugOff));
}

void toggleMonitorDebugMode() {
    if (debugMode) {
        stopDebugMode();
    } else {
        startDebugMode();
    }
}

// ---- About box, menu, commands -----------------------------------------------

void ShowMonitorAbout() {
    if (!aboutClosed.exchange(false)) {
        return;
    }
    loadLanguageText();
    const std::u16string components = listInstalledComponents(getCopyPath(kProduct));
    const std::u16string about = aboutText(debugMode, components);
    registerCheatCodes();
    shell::messageBox(about, kAboutCaption,
                      platform::ui::kMbOk | platform::ui::kMbUserIcon |
                          platform::ui::kMbSetForeground);
    aboutClosed = true;
}

void showTrayMenu() {
    shell::Menu menu;
    if (serviceRunning) {
        menu.append(shell::kMfString, Command_Stop, text(Text::Stop));
        menu.append(shell::kMfString, Command_Restart, text(Text::Restart));
    } else {
        menu.append(shell::kMfString, Command_Start, text(Text::Start));
    }
    const auto checked = [](bool on) { return on ? shell::kMfChecked : shell::kMfString; };
    const std::int32_t language = currentLanguage();
    shell::Menu languages;
    languages.append(checked(language == Language_TradChinese), Command_TradChinese,
                     text(Text::TradChinese));
    languages.append(checked(language == Language_English), Command_English, text(Text::English));
    languages.append(checked(language == Language_Japan), Command_Japanese, text(Text::Japanese));
    languages.append(checked(language == Language_SimpChinese), Command_SimpChinese,
                     text(Text::SimpChinese));
    menu.appendPopup(shell::kMfPopup, std::move(languages), text(Text::Language));
    menu.append(checked(!silentMode), Command_SystemHint, text(Text::SystemHint));
    menu.append(shell::kMfString, Command_About, text(Text::About));
    if (debugMode) {
        menu.append(shell::kMfSeparator, 0);
        menu.append(checked(screenshotSetting), Command_Screenshots, text(Text::Screenshots));
        menu.append(shell::kMfString, Command_DebugOffItem, text(Text::DebugOff));
    }
    menu.append(shell::kMfSeparator, 0);
    menu.append(shell::kMfString, Command_Quit, text(Text::Quit));
    shell::trackPopupMenu(menu, shell::kTpmRightAlign, shell::cursorPos(), kMonitorClassName);
}

void switchLanguage(std::int32_t language, Text name) {
    setCurrentLanguage(language);
    loadLanguageText();
    showBalloon(std::u16string(text(Text::SwitchTo)) + std::u16string(text(name)));
}

// The path as one word of a command line, whatever blanks its folders hold.
std::string quotedPath(const std::string& path) {
    std::string word = "\"";
    for (const char c : path) {
        if (c == '"') {
            word += '\\';
        }
        word += c;
    }
    return word + "\"";
}

void startUpdater() {
    const auto folder = getExecutePath();
    const std::string updater =
        (folder ? (*folder / "CorvantixUpgrader.exe").string() : "CorvantixUpgrader.exe");
    logNormal("Check Corvantix: ", updater);
    // The start's own result, not whatever errno held before it.
    if (const int error = startHiddenCommand(quotedPath(updater) + " -checkupdate"); error != 0) {
        logErrorInt("ShellExecute error:", error);
    }
    std::this_thread::sleep_for(1000ms);
}

void onCommand(std::uint32_t id) {
    switch (id) {
    case Command_Final:
    case Command_Quit:
        logNormal("", "Click MonitorFinal");
        MonitorFinal();
        break;
    case Command_Stop:
        logNormal("", "Click Corvantix Stop");
        stopMainProgram();
        break;
    case Command_Start:
        logNormal("", "Click Corvantix Start");
        setKeeperState(Keeper_Start);
        break;
    case Command_Restart:
        logNormal("", "Click Corvantix Restart");
        restartMainProgram();
        break;
    case Command_About:
        logNormal("", "Click ShowMonitorAbout");
        ShowMonitorAbout();
        break;
    case Command_DebugOn:
    case Command_DebugOnAlso:
        logNormal("", "Click startDebugMode");
        startDebugMode();
        break;
    case Command_DebugOff:
    case Command_DebugOffItem:
        logNormal("", "Click stopDebugMode");
        stopDebugMode();
        break;
    case Command_TradChinese:
        switchLanguage(Language_TradChinese, Text::TradChinese);
        break;
    case Command_English:
        switchLanguage(Language_English, Text::English);
        break;
    case Command_SimpChinese:
        switchLanguage(Language_SimpChinese, Text::SimpChinese);
        break;
    case Command_Japanese:
        switchLanguage(Language_Japan, Text::Japanese);
        break;
    case Command_SystemHint:
        silentMode = !silentMode;
        saveConfig();
        break;
    case Command_Screenshots:
        logNormal("", "Click ScreenCutter");
        screenshotSetting = !screenshotSetting;
        saveConfig();
        break;
    case Command_CheckUpdate:
        startUpdater();
        break;
    case Command_AutoCheckUpdate:
        autoCheckUpdate = !autoCheckUpdate;
        saveConfig();
        break;
    default:
        break;
    }
}

void onCopyData(std::string_view data) {
    // The sender's text ends with its zero byte, inside the size it gave.
    const auto end = data.find('\0');
    if (end == std::string_view::npos) {
        logWarning("Verify CorvantixMessage fail");
        return;
    }
    const CorvantixMessage message = parseCorvantixMessage(data.substr(0, end));
    if (!verifyCorvantixMessage(message)) {
        logWarning("Verify CorvantixMessage fail");
        return;
    }
    const std::string instruction = message.instruction.value_or("");
    logNormal("Receive COPYDATA message: ", instruction);
    if (instruction == kInstructionMonitorStart || instruction == kInstructionStart) {
        setKeeperState(Keeper_Start);
    } else if (instruction == kInstructionStop) {
        stopMainProgram();
    } else if (instruction == kInstructionRestart) {
        restartMainProgram();
    } else if (instruction == kInstructionSuicide) {
        MonitorFinal();
    } else {
        logNormal("Receive unknow instruction: ", instruction);
        logNormal("Receive unknow message: ", message.message.value_or(""));
    }
}

std::uint32_t trayWndProc(const platform::WindowMessage& message) {
    if (taskbarCreated != 0 && message.message == taskbarCreated) {
        if (!addIcon()) {
            logNormal("Add icon: ", "fail");
        }
        return 0;
    }
    switch (message.message) {
    case platform::ui::kWmDestroy:
    case platform::ui::kWmClose:
        MonitorFinal();
        return 0;
    case platform::kWmCopyData:
        onCopyData(message.data);
        return 0;
    case platform::ui::kWmCommand:
        onCommand(platform::ui::lowWord(message.wParam));
        return 0;
    case kTrayMessage:
        if (message.lParam == kTrayLeftDoubleClick) {
            ShowMonitorAbout();
        } else if (message.lParam == kTrayRightButtonDown) {
            showTrayMenu();
        }
        return 0;
    default:
        return 0;
    }
}

// ---- Screenshots ------------------------------------------------------------------

bool printKeyDown() {
    return (shell::getAsyncKeyState(kVkPrint) & 0x8000) != 0 ||
           (shell::getAsyncKeyState(kVkSnapshot) & 0x8000) != 0;
}

void captureScreen() {
    const auto desktop = getDesktopPath();
    const std::string name = std::string(kProduct) + " " +
                             platform::utf16ToUtf8(text(Text::Screenshots)) + " " + getTimeText() +
                             ".png";
    const fs::path path = desktop ? *desktop / name : fs::path(name);
    const shell::Image image = shell::captureScreen();
    if (!image.valid() || !shell::savePng(image, path)) {
        // Nothing was saved: no balloon tells of a file.
        logError("Save screenshot fail: ", path.string());
        return;
    }
    std::u16string notice(text(Text::ScreenshotDone));
    const std::u16string fileName = platform::utf8ToUtf16(path.string());
    if (const auto at = notice.find(u"==FileName=="); at != std::u16string::npos) {
        notice.replace(at, std::u16string_view(u"==FileName==").size(), fileName);
    }
    std::this_thread::sleep_for(kScreenshotBalloonDelay);
    showBalloon(notice);
}

[[noreturn]] void screenshotKeyThread() {
    for (;;) {
        std::this_thread::sleep_for(10ms);
        if (!screenshotSetting || !printKeyDown()) {
            continue;
        }
        exceptionBarrier("Screenshot: ", captureScreen);
        while (printKeyDown()) {
            std::this_thread::sleep_for(10ms);
        }
    }
}

// ---- Start-up -----------------------------------------------------------------------

void logEnvironment() {
    const std::uint32_t flags = getOsFlags();
    if (flags != 0) {
        logNormal("Environment: ",
                  getOsName(flags) + " " + ((flags & 0x200000) != 0 ? "64 bit" : "32 bit"));
    }
}

void probeWatchdog() {
    if (auto watchdog = getMutexLock(kWatchdogMutex, 500)) {
        // Nobody holds it: no watchdog runs.
        releaseMutexLock(std::move(watchdog));
        hideNOWaitCommand(kWatchdogCommand);
    }
}

void prepareDebugIni() {
    const fs::path temp = getUserTempPath();
    makeFolderChain(temp.string());
    debugIniPath = temp / (std::string(kProduct) + ".ini");
    const auto desktop = getDesktopPath();
    debugIniText = "[" + std::string(kProduct) + "]\n" +
                   "Log File=" + (desktop ? desktop->string() : std::string()) + "/CorvantixLog/" +
                   std::string(kProduct) + ".txt\n" + "Log Level=5";
    debugIniText = debugIniText.substr(0, 511);
}

bool startThread(void (*entry)(), std::string_view name) {
    try {
        std::thread(entry).detach();
    } catch (const std::system_error& e) {
        logError(name, e.what());
        return false;
    }
    return true;
}

// The tray window and its loop; false when the window or its icon cannot be
// made.
bool runTrayWindow() {
    auto window = platform::MessageWindow::create(kMonitorClassName, trayWndProc);
    if (!window) {
        logError("Create tray window: ", "Fail");
        return false;
    }
    taskbarCreated = shell::taskbarCreatedMessage();
    if (taskbarCreated != 0) {
        window->registerBroadcast(taskbarCreated);
    }
    refreshTrayIcons();
    fillIconRecord();
    if (!addIcon()) {
        logError("Add icon: ", "fail");
        return false;
    }
    {
        std::lock_guard lock(windowLock);
        trayWindow = window.get();
    }
    window->runMessageLoop();
    {
        std::lock_guard lock(windowLock);
        trayWindow = nullptr;
    }
    // The window's destruction ends the monitor once more.
    trayWndProc({platform::ui::kWmDestroy, 0, {}});
    return true;
}

} // namespace

int monitorMain() {
    setLog("CorvantixMonitor-" + generateSessionId());
    auto instance = getMutexLock(kMonitorClassName, 2000);
    if (instance) {
        logEnvironment();
        setCurrentLanguage(detectLanguage());
        loadLanguageText();

        const fs::path dataFolder = getCopyPath(kProduct);
        std::error_code ec;
        fs::create_directories(dataFolder, ec);
        configPath = dataFolder / kConfigFileName;
        const MonitorSettings settings = readConfigFile(configPath);
        screenshotSetting = settings.screenshot;
        silentMode = settings.silent;
        autoCheckUpdate = settings.autoCheckUpdate;

        if (!initDebugStatusEvent() && !debugEvent) {
            logErrorInt("Monitor debugStatusUpdateEvent init failed. ", errno);
        }
        probeWatchdog();
        prepareDebugIni();
        debugMode = isFileExist(debugIniPath);

        KeeperHooks hooks;
        hooks.notifyServiceRunning = notifyServiceRunning;
        hooks.notifyServiceStopped = notifyServiceStopped;
        hooks.refreshTrayIcons = refreshTrayIcons;
        hooks.removeTrayIcon = removeTrayIcon;
        hooks.postQuit = quitTrayLoop;
        setKeeperHooks(hooks);
        setAboutBoxOpenTest([] { return !aboutClosed; });
        setDebugModeSwitch(toggleMonitorDebugMode);

        startThread(screenshotKeyThread, "Start screenshot thread: ");
        startKeeperThread();
        registerKeeperFunctions();
        startMonitorLockReceiver();

        if (platform::findWindow(kMonitorClassName)) {
            // Another monitor's window: it shows its About box, and this one ends.
            platform::postMessage(kMonitorClassName, kTrayMessage, 0, kTrayLeftDoubleClick);
        } else {
            runTrayWindow();
        }
    }
    instance.reset();
    removeTrayIcon();
    return 0;
}
