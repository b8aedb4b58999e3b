#include "common/Message.h"

#include "common/Sha512.h"
#include "common/Tool.h"
#include "common/ToolLog.h"
#include "common/ToolSystem.h"
#include "platform/mutex/NamedMutex.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// The program the lock-mode receiver starts on CorvantixInstruction_MonitorStart.
constexpr std::string_view kMonitorStartCommand = "VondelCorvantixWorker.exe -start";

constexpr std::size_t kChannelNameMax = 511;
constexpr std::size_t kTimeValueTextMax = 19;

using namespace std::chrono_literals;

constexpr std::size_t kSaltSize = 71;
constexpr std::string_view kSaltHex =
    "9c4e1a7b3f82d5605e91c7a4b26f08d3e5179a4c6b2d80f1e3a5972c4d6b8e01f2a3c5d7e9b1f3a5c7e9d2b4f6a8"
    "c1e3b5d7f9a2c4e6b8d1f3a5c7e9b2d4f6a8c1e3b5d7f9a2e4";

constexpr int hexDigit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : (c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1);
}

constexpr std::array<char, kSaltSize> decodeSalt() {
    std::array<char, kSaltSize> salt{};
    for (std::size_t i = 0; i < kSaltSize; ++i) {
        salt[i] = static_cast<char>(hexDigit(kSaltHex[2 * i]) * 16 + hexDigit(kSaltHex[2 * i + 1]));
    }
    return salt;
}

constexpr bool saltIsSound() {
    if (kSaltHex.size() != 2 * kSaltSize) {
        return false;
    }
    for (std::size_t i = 0; i < kSaltHex.size(); ++i) {
        if (hexDigit(kSaltHex[i]) < 0) {
            return false;
        }
    }
    for (const char byte : decodeSalt()) {
        if (byte == 0) {
            return false; // the salt is used up to its first zero byte
        }
    }
    return true;
}
static_assert(saltIsSound());

constexpr std::array<char, kSaltSize> kSalt = decodeSalt();

// ---- Process-wide registrations and receivers ------------------------------

struct Registrations {
    std::mutex lock;
    IpcFunction finalFunction;
    IpcFunction startFunction;
    IpcFunction stopFunction;
    IpcFunction restartFunction;
    std::atomic<bool>* userSwitch = nullptr;
};

struct Receivers {
    std::mutex lock;
    std::condition_variable wake;
    bool shutdown = false;
    bool ipcStarted = false;
    std::vector<std::thread> threads;
    std::vector<platform::MessageWindow*> windows;
};

std::atomic<bool> stopFlag{false};

// Never destroyed: receiver threads may still run while the process exits.
Registrations& registrations() {
    static auto* instance = new Registrations;
    return *instance;
}

Receivers& receivers() {
    static auto* instance = new Receivers;
    return *instance;
}

IpcFunction registered(IpcFunction Registrations::*which) {
    auto& r = registrations();
    std::lock_guard guard(r.lock);
    return r.*which;
}

void setRegistered(IpcFunction Registrations::*which, IpcFunction function) {
    auto& r = registrations();
    std::lock_guard guard(r.lock);
    r.*which = std::move(function);
}

// A registered function must not take a receiver thread down with it.
void callSafely(const IpcFunction& function) {
    try {
        function();
    } catch (...) {
        logWarning("Registered function failed: ", "exception");
    }
}

// Ends the process at once, as the original platform's process exit does:
// no static destructors run while other threads still use the globals.
[[noreturn]] void endProcess() {
    std::fflush(nullptr);
    std::_Exit(0);
}

// Waits, cut short only by stopIpc; true when the receivers are to end.
bool pauseFor(std::chrono::milliseconds duration) {
    auto& r = receivers();
    std::unique_lock guard(r.lock);
    return r.wake.wait_for(guard, duration, [&] { return r.shutdown; });
}

std::string hex64(std::int64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string_view orEmpty(const std::optional<std::string>& text) {
    return text ? std::string_view(*text) : std::string_view{};
}

struct SimpleInstruction {
    std::string_view instruction;
    IpcFunction Registrations::*function;
    std::string_view executeLine;
    std::string_view missingLine;
    std::string_view lockLine;
};

const SimpleInstruction kSimpleInstructions[] = {
    {kInstructionStart, &Registrations::startFunction, "Execute start function",
     "No start function", "Recivie start message"},
    {kInstructionStop, &Registrations::stopFunction, "Execute stop function", "No stop function",
     "Recivie stop message"},
    {kInstructionRestart, &Registrations::restartFunction, "Execute restart function",
     "No restart function", "Recivie restart message"},
};

void runSimpleInstruction(const SimpleInstruction& entry) {
    if (const auto function = registered(entry.function)) {
        logNormal(entry.executeLine);
        callSafely(function);
    } else {
        logNormal(entry.missingLine);
    }
}

void handleCopyData(std::string_view data) {
    // The text must end with its zero byte inside the size the sender gave.
    const auto end = data.find('\0');
    std::optional<CorvantixMessage> message;
    if (end != std::string_view::npos) {
        message = parseCorvantixMessage(data.substr(0, end));
    }
    if (!message || !verifyCorvantixMessage(*message)) {
        logWarning("[Warning] ", "Verify CorvantixMessage fail");
        return;
    }
    const std::string& instruction = *message->instruction; // present once verified
    logNormal("Receive COPYDATA message: ", instruction);
    if (instruction == kInstructionSuicide) {
        logNormal("Receive message: ", instruction);
        stopFlag = true;
        if (const auto onFinal = registered(&Registrations::finalFunction)) {
            logNormal("Execute final function");
            callSafely(onFinal);
        } else {
            logNormal("Execute exit");
            endProcess();
        }
        return;
    }
    for (const auto& entry : kSimpleInstructions) {
        if (instruction == entry.instruction) {
            logNormal("Receive message: ", instruction);
            runSimpleInstruction(entry);
            return;
        }
    }
    logNormal("Receive UNKNOW instruction: ", instruction);
    logNormal("Receive UNKNOW message: ", orEmpty(message->message));
}

void sessionBack() {
    auto& r = registrations();
    std::lock_guard guard(r.lock);
    if (r.userSwitch != nullptr) {
        *r.userSwitch = false;
    }
}

void sessionGone() {
    IpcFunction onFinal;
    {
        auto& r = registrations();
        std::lock_guard guard(r.lock);
        if (r.userSwitch != nullptr) {
            *r.userSwitch = true;
            return;
        }
        onFinal = r.finalFunction;
    }
    if (!onFinal) {
        endProcess();
    }
    callSafely(onFinal);
}

void handleSessionChange(std::uint32_t event) {
    switch (event) {
    case platform::kWtsConsoleConnect:
        logNormal("Receive connect signal");
        sessionBack();
        break;
    case platform::kWtsRemoteConnect:
        logNormal("Receive remote connect signal");
        sessionBack();
        break;
    case platform::kWtsSessionUnlock:
        logNormal("Receive windows unlock signal");
        sessionBack();
        break;
    case platform::kWtsConsoleDisconnect:
        logNormal("Receive disconnect signal");
        sessionGone();
        break;
    case platform::kWtsRemoteDisconnect:
        logNormal("Receive remote disconnect signal");
        sessionGone();
        break;
    case platform::kWtsSessionLock:
        logNormal("Receive windows lock signal");
        sessionGone();
        break;
    default:
        logNormalInt("Receive unknow system signal: ", static_cast<long>(event));
        break;
    }
}

// One lock-mode probe: an instruction has arrived when its mutex exists and
// someone else holds it. A mutex that cannot even be opened is no message;
// reading it as one would turn a broken run folder into a stream of quits.
class InstructionProbe {
public:
    explicit InstructionProbe(std::string channel) : channel_(std::move(channel)) {}

    bool arrived(std::string_view instruction) {
        const auto user = getUserName();
        std::unique_ptr<platform::NamedMutex> mutex;
        if (user) {
            const std::string name = *user + "_" + channel_ + std::string(instruction);
            mutex = platform::NamedMutex::open(name.substr(0, kChannelNameMax));
        }
        // Reported once per instruction until it can be opened again.
        const bool reported = failing_.contains(instruction);
        if (!mutex) {
            if (!reported) {
                CORVANTIX_ALLOCATION_FAILURE();
                failing_.emplace(instruction);
            }
            return false;
        }
        if (reported) {
            failing_.erase(failing_.find(instruction));
        }
        return !mutex->lock(0); // a mutex taken here is released and closed at once
    }

private:
    std::string channel_;
    std::set<std::string, std::less<>> failing_;
};

void quitByLock() {
    logNormal("IPC Message Lock Mode: ", "Recivie Suicide message");
    if (const auto onFinal = registered(&Registrations::finalFunction)) {
        logNormal("IPC Message Lock Mode: ", "Exec final function");
        callSafely(onFinal);
    }
    endProcess();
}

std::atomic<bool> failLockModeThread{false};
std::atomic<bool> failSessionNotification{false};

bool addThread(std::function<void()> body, bool injectFailure = false) {
    auto& r = receivers();
    try {
        if (injectFailure) {
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        }
        r.threads.emplace_back(std::move(body));
    } catch (const std::system_error& e) {
        logError("Start IPC receiver thread: ", e.what());
        return false;
    }
    return true;
}

// The first receiver of a process (or the first after stopIpc) starts from
// a clear stop flag.
void prepareStartLocked() {
    auto& r = receivers();
    if (r.threads.empty()) {
        r.shutdown = false;
        stopFlag = false;
    }
}

} // namespace

// ---- Time values -------------------------------------------------------------

std::int64_t computeTimeValue(const std::tm& local) {
    const int year = local.tm_year;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const std::int64_t yearSeconds = leap ? 31622400 : 31536000;
    return static_cast<std::int64_t>(year - 115) * yearSeconds +
           ((static_cast<std::int64_t>(local.tm_mday) * 24 + local.tm_hour) * 60 + local.tm_min) *
               60 +
           local.tm_sec;
}

std::int64_t computeTimeValue() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return computeTimeValue(local);
}

std::string timeValueText(std::int64_t value) {
    return hex64(value);
}

namespace {

// Sets T0-T3 from a time text (at most kTimeValueTextMax characters are
// kept); pieces beyond the text's end are empty.
void setTimeValuePieces(CorvantixMessage& message, std::string_view text) {
    const std::string_view kept = text.substr(0, kTimeValueTextMax);
    message.t0 = subString(kept, 0, 3);
    message.t1 = subString(kept, 3, 7);
    message.t2 = subString(kept, 7, 11);
    message.t3 = subString(kept, 11, 16);
}

} // namespace

std::string joinTimeValue(const CorvantixMessage& message) {
    std::string joined;
    for (const auto* piece : {&message.t0, &message.t1, &message.t2, &message.t3}) {
        joined.append(orEmpty(*piece));
    }
    return joined;
}

std::int64_t messageTimeValue(const CorvantixMessage& message) {
    const std::string joined = joinTimeValue(message).substr(0, 16);
    const std::string aligned = rightAlignText(joined).value_or(std::string(16, ' '));
    struct Piece {
        std::size_t from;
        std::size_t length;
        unsigned shift;
        std::uint64_t mask;
    };
    constexpr Piece kPieces[] = {
        {0, 3, 52, 0xFFF}, {3, 4, 36, 0xFFFF}, {7, 4, 20, 0xFFFF}, {11, 5, 0, 0xFFFFF}};
    std::uint64_t value = 0;
    for (const auto& piece : kPieces) {
        // Each piece keeps to its own bits, whatever its text holds.
        const auto number = static_cast<std::uint32_t>(
            hexStringToLong(std::string_view(aligned).substr(piece.from, piece.length)));
        value |= (number & piece.mask) << piece.shift;
    }
    return static_cast<std::int64_t>(value);
}

// ---- Hash, parse, verify -------------------------------------------------

std::optional<std::string> hashCorvantixMessage(const CorvantixMessage& message) {
    try {
        std::string text;
        for (const auto* field :
             {&message.from, &message.to, &message.t0, &message.t1, &message.t2, &message.t3}) {
            text.append(orEmpty(*field));
        }
        text.append(kSalt.data(), kSalt.size());
        text.append(orEmpty(message.instruction)).append(orEmpty(message.message));
        auto hash = sha512Hex(text);
        explicit_bzero(text.data(), text.size()); // the salt stays in the program only
        return hash;
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

CorvantixMessage parseCorvantixMessage(std::optional<std::string_view> json) {
    CorvantixMessage message;
    if (!json) {
        return message;
    }
    message.from = getJsonValue(json, "From");
    message.to = getJsonValue(json, "To");
    message.instruction = getJsonValue(json, "Instruction");
    message.message = getJsonValue(json, "Message");
    if (const auto time = getJsonValue(json, "TimeValue")) {
        setTimeValuePieces(message, *time);
    }
    message.hashValue = getJsonValue(json, "HashValue");
    return message;
}

bool verifyCorvantixMessage(const CorvantixMessage& message, std::int64_t now) {
    const std::int64_t stamped = messageTimeValue(message);
    const auto age = static_cast<std::int64_t>(static_cast<std::uint64_t>(now) -
                                               static_cast<std::uint64_t>(stamped));
    if (age < 0 || age > kMessageMaxAgeSeconds) {
        logWarning("CorvantixMessage now time value: ", hex64(now));
        logWarning("CorvantixMessage message time value: ", hex64(stamped));
        logWarning("CorvantixMessage verify fail: ", "Replay attack");
        return false;
    }
    const auto hash = hashCorvantixMessage(message);
    if (!hash) {
        CORVANTIX_ALLOCATION_FAILURE();
        return false;
    }
    // A missing field never verifies, even where it would hash as empty.
    const bool complete =
        message.from && message.to && message.instruction && message.message && message.hashValue;
    const bool verified = complete && *message.hashValue == *hash;
    if (verified) {
        logNormal("CorvantixMessage verify state: ", "Success");
    } else {
        logWarning("CorvantixMessage verify state: ", "Fail");
    }
    return verified;
}

bool verifyCorvantixMessage(const CorvantixMessage& message) {
    return verifyCorvantixMessage(message, computeTimeValue());
}

// ---- Building and sending ------------------------------------------------

CorvantixMessage createCorvantixMessage(std::string_view from, std::string_view to,
                                        std::string_view instruction, std::int64_t timeValue) {
    CorvantixMessage message;
    message.from = std::string(from);
    message.to = std::string(to);
    message.instruction = std::string(instruction);
    message.message = std::string();
    setTimeValuePieces(message, timeValueText(timeValue));
    message.hashValue = hashCorvantixMessage(message);
    return message;
}

CorvantixMessage createCorvantixMessage(std::string_view from, std::string_view to,
                                        std::string_view instruction) {
    return createCorvantixMessage(from, to, instruction, computeTimeValue());
}

std::optional<std::string> corvantixMessageToJson(const CorvantixMessage& message) {
    if (!message.from || !message.to || !message.message || !message.hashValue) {
        return std::nullopt;
    }
    std::string json;
    json.append("{\"From\":\"").append(*message.from);
    json.append("\", \"To\":\"").append(*message.to);
    json.append("\", \"Instruction\":\"").append(orEmpty(message.instruction));
    json.append("\", \"Message\":\"").append(*message.message);
    json.append("\", \"TimeValue\":\"").append(joinTimeValue(message));
    json.append("\", \"HashValue\":\"").append(*message.hashValue).append("\"}");
    return json;
}

CorvantixSendResult sendCorvantixMessage(std::string_view from, std::string_view to,
                                         std::string_view instruction,
                                         std::uint32_t windowTimeoutMs) {
    CorvantixSendResult result;
    logNormal("sendIPCMsgWin: ", "Windows API Mode");
    const auto json = corvantixMessageToJson(createCorvantixMessage(from, to, instruction));
    if (!json) {
        CORVANTIX_ALLOCATION_FAILURE();
        return result;
    }
    // The zero byte travels with the text.
    const auto sent = platform::sendCopyData(
        to, 0, std::string_view(json->c_str(), json->size() + 1), windowTimeoutMs);
    if (sent.status == platform::SendStatus::NoWindow) {
        logError("sendIPCMsgWin can't find window ", to.substr(0, 255));
    } else if (!sent) {
        logWarning("sendIPCMsgWin window send fail: ", to.substr(0, 255));
    }
    result.windowReached = static_cast<bool>(sent);

    logNormal("sendIPCMsgWin: ", "Lock Mode");
    auto lock = getMutexLock(std::string(to) + std::string(instruction), 100);
    std::this_thread::sleep_for(100ms);
    result.lockHeld = lock != nullptr;
    return result;
}

// ---- Receivers -----------------------------------------------------------

void registerFinalFunction(IpcFunction function) {
    setRegistered(&Registrations::finalFunction, std::move(function));
}

void registerStartFunction(IpcFunction function) {
    setRegistered(&Registrations::startFunction, std::move(function));
}

void registerStopFunction(IpcFunction function) {
    setRegistered(&Registrations::stopFunction, std::move(function));
}

void registerRestartFunction(IpcFunction function) {
    setRegistered(&Registrations::restartFunction, std::move(function));
}

void registerUserSwitchFlag(std::atomic<bool>* flag) {
    auto& r = registrations();
    std::lock_guard guard(r.lock);
    r.userSwitch = flag;
}

bool ipcStopFlag() {
    return stopFlag;
}

std::uint32_t IPCMsgWndProc(const platform::WindowMessage& message) {
    if (message.message == platform::kWmCopyData) {
        handleCopyData(message.data);
    } else if (message.message == platform::kWmWtsSessionChange) {
        handleSessionChange(message.param);
    }
    return 0; // what the default procedure answers for these messages
}

namespace {

// The thread bodies: they run on the calling thread until their receiver
// ends. A quit by lock mode, and a quit or session end with no final
// function, end the process with exit code 0.
void windowsApiReceiver(std::string_view channel) {
    const std::string name(channel.substr(0, kChannelNameMax));
    // Another instance receiving on this channel keeps it.
    if (!platform::findWindow(name)) {
        if (auto window = platform::MessageWindow::create(name, IPCMsgWndProc)) {
            logNormal("Windows API IPC message channel: ", name);
            // Without the registration no lock or disconnect would reach the
            // final function: the receiver runs for messages, but not as a success.
            if (!failSessionNotification && window->registerSessionNotification()) {
                logNormal("Start Windows API IPC message receiver: ", "Success");
            } else {
                logError("Start Windows API IPC message receiver: ",
                         "Session notification registration fail");
            }
            auto& r = receivers();
            bool run = false;
            {
                std::lock_guard guard(r.lock);
                if (!r.shutdown) {
                    r.windows.push_back(window.get());
                    run = true;
                }
            }
            if (run) {
                window->runMessageLoop();
                std::lock_guard guard(r.lock);
                std::erase(r.windows, window.get());
            }
        }
    }
    logWarning("[Catastrophic failure] Start Windows API IPC message receiver: ", "Fail");
}

void crossPlatformReceiver(std::optional<std::string_view> channel) {
    if (!channel) {
        CORVANTIX_NULL_PARAMETER("inputChannel");
        return;
    }
    InstructionProbe probe(std::string(channel->substr(0, kChannelNameMax)));
    while (!stopFlag) {
        if (probe.arrived(kInstructionSuicide)) {
            quitByLock();
        }
        if (probe.arrived(kInstructionMonitorStart)) {
            logNormal("IPC Message Lock Mode: ", "Recivie MonitorStart message");
            hideNOWaitCommand(kMonitorStartCommand);
            if (pauseFor(100ms)) {
                return;
            }
        }
        for (const auto& entry : kSimpleInstructions) {
            if (probe.arrived(entry.instruction)) {
                logNormal("IPC Message Lock Mode: ", entry.lockLine);
                runSimpleInstruction(entry);
                if (pauseFor(100ms)) {
                    return;
                }
            }
        }
        if (pauseFor(50ms)) {
            return;
        }
    }
}

} // namespace

bool startIpc(std::string_view channel) {
    const std::string name(channel);
    {
        auto& r = receivers();
        std::lock_guard guard(r.lock);
        if (r.ipcStarted) {
            return false;
        }
        prepareStartLocked();
        // Each thread keeps its own copy of the channel.
        if (!addThread([name] { windowsApiReceiver(name); })) {
            return false;
        }
        r.ipcStarted = true;
        if (!addThread([name] { crossPlatformReceiver(name); }, failLockModeThread)) {
            logError("Start lock mode IPC message receiver: ", "Fail");
            return false;
        }
    }
    if ((getOsFlags() & 0x1) != 0) {
        logNormal("IPC mode: ", "Windows API mode");
    } else {
        logNormal("IPC mode: ", "Cross platform + Windows API mode");
        std::this_thread::sleep_for(500ms);
    }
    return true;
}

bool startCrossPlatformReceiver(std::string_view channel) {
    const std::string name(channel);
    auto& r = receivers();
    std::lock_guard guard(r.lock);
    prepareStartLocked();
    return addThread([name] { crossPlatformReceiver(name); });
}

void setReceiverStartFaults(ReceiverStartFaults faults) {
    failLockModeThread = faults.lockModeThread;
    failSessionNotification = faults.sessionNotification;
}

void stopIpc() {
    auto& r = receivers();
    std::vector<std::thread> threads;
    {
        std::lock_guard guard(r.lock);
        r.shutdown = true;
        stopFlag = true;
        for (auto* window : r.windows) {
            window->quit();
        }
        threads.swap(r.threads);
        r.ipcStarted = false;
    }
    r.wake.notify_all();
    for (auto& thread : threads) {
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
}
