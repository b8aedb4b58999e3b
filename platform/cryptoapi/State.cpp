#include "platform/cryptoapi/Internal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>

namespace capi {
namespace {

thread_local Dword lastError = 0;

std::mutex& callMutex() {
    static std::mutex mutex;
    return mutex;
}

// Failures waiting per function name, in the order they were asked for.
std::map<std::string, std::deque<Dword>, std::less<>>& pendingFailures() {
    static std::map<std::string, std::deque<Dword>, std::less<>> failures;
    return failures;
}

} // namespace

Dword GetLastError() {
    return lastError;
}

void SetLastError(Dword error) {
    lastError = error;
}

namespace testing {

void failNextCall(std::string_view function, Dword error) {
    const auto lock = detail::lockCall();
    auto& failures = pendingFailures();
    auto it = failures.find(function);
    if (it == failures.end()) {
        it = failures.emplace(std::string(function), std::deque<Dword>{}).first;
    }
    it->second.push_back(error);
}

void clearFailures() {
    const auto lock = detail::lockCall();
    pendingFailures().clear();
}

} // namespace testing

namespace detail {

void wipe(void* memory, std::size_t size) {
    if (memory != nullptr && size != 0) {
        explicit_bzero(memory, size);
    }
}

Bool fail(Dword error) {
    SetLastError(error);
    return kFalse;
}

std::unique_lock<std::mutex> lockCall() {
    return std::unique_lock<std::mutex>(callMutex());
}

bool injectedFailure(std::string_view function) {
    auto& failures = pendingFailures();
    const auto it = failures.find(function);
    if (it == failures.end()) {
        return false;
    }
    SetLastError(it->second.front());
    it->second.pop_front();
    if (it->second.empty()) {
        failures.erase(it);
    }
    return true;
}

Output prepareOutput(const std::uint8_t* data, Dword* length, std::size_t needed) {
    if (data == nullptr) {
        *length = static_cast<Dword>(needed);
        return Output::SizeOnly;
    }
    if (*length < needed) {
        *length = static_cast<Dword>(needed);
        SetLastError(ERROR_MORE_DATA);
        return Output::TooShort;
    }
    return Output::Write;
}

Bool putBytes(std::span<const std::uint8_t> bytes, std::uint8_t* data, Dword* length) {
    return putOutput(data, length, bytes.size(), [&] {
        std::copy(bytes.begin(), bytes.end(), data);
        *length = static_cast<Dword>(bytes.size());
        return kTrue;
    });
}

Bool putDword(Dword value, std::uint8_t* data, Dword* length) {
    std::uint8_t bytes[4];
    storeLe32(bytes, value);
    return putBytes(bytes, data, length);
}

static_assert(sizeof(std::uintptr_t) == 8, "handles keep their kind in the top 16 bits");

std::uintptr_t nextHandle(HandleKind kind) {
    // Starts at an odd, unround value so handles look like nothing else.
    static std::atomic<std::uint64_t> serial{0x2D41};
    const std::uint64_t value = serial.fetch_add(7) & 0xFFFF'FFFF'FFFFull;
    return static_cast<std::uintptr_t>(kind) << 48 | static_cast<std::uintptr_t>(value);
}

} // namespace detail
} // namespace capi
