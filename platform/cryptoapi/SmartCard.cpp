#include "platform/cryptoapi/Internal.h"

#include <set>

namespace capi {

using namespace detail;

namespace {

struct Installed {
    bool present = false;
    std::map<std::string, FARPROC, std::less<>> functions;
    std::set<HMODULE> loaded;
};

Installed& installed() {
    static Installed state;
    return state;
}

} // namespace

HMODULE loadSmartCardKeyStorage() {
    const auto lock = lockCall();
    if (injectedFailure("loadSmartCardKeyStorage")) {
        return 0;
    }
    Installed& state = installed();
    if (!state.present) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const HMODULE module = nextHandle(HandleKind::Module);
    state.loaded.insert(module);
    return module;
}

FARPROC smartCardKeyStorageFunction(HMODULE module, const char* name) {
    const auto lock = lockCall();
    if (injectedFailure("smartCardKeyStorageFunction")) {
        return nullptr;
    }
    const Installed& state = installed();
    if (state.loaded.count(module) == 0) {
        fail(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const auto found = name != nullptr ? state.functions.find(name) : state.functions.end();
    if (found == state.functions.end() || found->second == nullptr) {
        fail(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return found->second;
}

Bool freeSmartCardKeyStorage(HMODULE module) {
    const auto lock = lockCall();
    if (injectedFailure("freeSmartCardKeyStorage")) {
        return kFalse;
    }
    return installed().loaded.erase(module) != 0 ? kTrue : fail(ERROR_INVALID_HANDLE);
}

namespace testing {

void installSmartCardKeyStorage(std::map<std::string, FARPROC, std::less<>> functions) {
    const auto lock = lockCall();
    Installed& state = installed();
    state.present = true;
    state.functions = std::move(functions);
}

void removeSmartCardKeyStorage() {
    const auto lock = lockCall();
    Installed& state = installed();
    state.present = false;
    state.functions.clear();
    state.loaded.clear();
}

std::size_t smartCardKeyStorageLoads() {
    const auto lock = lockCall();
    return installed().loaded.size();
}

} // namespace testing

} // namespace capi
