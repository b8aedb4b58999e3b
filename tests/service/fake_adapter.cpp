// A stand-in adapter library for the session tests. Which entry points it
// exports is chosen at build time; what it answers comes from the
// environment, so one build serves many cases:
//   FAKE_ADAPTER_VERSION  answer to Corvantix_GetVersion (default 1,0,18,719)
//   FAKE_ADAPTER_UNLOCK   answer to Corvantix_Unlock (default "0")
//   FAKE_ADAPTER_RELEASE_MS  how long Corvantix_Release takes (default 0)
// Every call is appended to $CORVANTIX_ROOT/fake_adapter.log as
// "<copy> <function> <url>", <copy> being this loaded copy's own number.

#include "common/Json.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Each loaded copy draws its own number and counts its own calls.
const unsigned copyNumber = std::random_device{}();
int calls = 0;
std::string result;

std::string env(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : fallback;
}

void record(const std::string& function, const std::string& url) {
    const char* root = std::getenv("CORVANTIX_ROOT");
    if (root != nullptr) {
        std::ofstream(std::string(root) + "/fake_adapter.log", std::ios::app)
            << copyNumber << ' ' << function << ' ' << url << '\n';
    }
}

std::string value(const JsonMap* map, const char* key) {
    return map != nullptr ? getJsonMapValue(map, key).value_or("") : "";
}

const char* answer(const JsonMap* map, const std::string& function) {
    ++calls;
    const std::string url = value(map, "url");
    record(function, url);
    if (function == "Corvantix_Unlock") {
        result = env("FAKE_ADAPTER_UNLOCK", "0");
    } else if (function == "Corvantix_GetVersion") {
        result = env("FAKE_ADAPTER_VERSION", "1,0,18,719");
    } else if (function == "Corvantix_Release") {
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::atoi(env("FAKE_ADAPTER_RELEASE_MS", "0").c_str())));
        result = "0";
    } else if (function == "Count") {
        result = std::to_string(calls);
    } else {
        result = function + ":" + value(map, "arg");
    }
    return result.c_str();
}

} // namespace

#if defined(FAKE_MAP_ENTRY)
EXPORT const char* callJsonMapMethod(const JsonMap* map, const char* functionName) {
    return answer(map, functionName != nullptr ? functionName : "");
}
#endif

#if defined(FAKE_STRING_ENTRY)
EXPORT const char* callMethod(const char* jsonText) {
    const JsonMapPtr map = parseJsonMap(
        jsonText != nullptr ? std::optional<std::string_view>(jsonText) : std::nullopt);
    return answer(map.get(), value(map.get(), "FunctionName").empty()
                                 ? value(map.get(), "functionname")
                                 : value(map.get(), "FunctionName"));
}
#endif

#if !defined(FAKE_MAP_ENTRY) && !defined(FAKE_STRING_ENTRY)
// A library with some other export, but neither entry point.
EXPORT const char* notAnAdapter() {
    return answer(nullptr, "notAnAdapter");
}
#endif
