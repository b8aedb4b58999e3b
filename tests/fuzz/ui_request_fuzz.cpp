// The scripted user's request lines: any text is parsed, answered by a
// scripted backend that has no dialogs (so every request runs its checks and
// none waits), and a value that parses writes back to text that parses to
// the same value.

#include "platform/ui/JsonLine.h"
#include "platform/ui/ScriptedBackend.h"
#include "tests/fuzz/FuzzSandbox.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    enterFuzzSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const auto backend = platform::ui::ScriptedBackend::detached();
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    const std::string answer = backend->answer(line);
    if (!platform::ui::parseJson(answer).value) {
        __builtin_trap();
    }
    const auto parsed = platform::ui::parseJson(line);
    if (parsed.value) {
        const std::string written = platform::ui::serializeJson(*parsed.value);
        const auto again = platform::ui::parseJson(written);
        if (!again.value || platform::ui::serializeJson(*again.value) != written) {
            __builtin_trap();
        }
    }
    return 0;
}
