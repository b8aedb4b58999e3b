#include "tests/adapter/FakeTavelo.h"

#include <dlfcn.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fake_tavelo {

namespace {

// Runs one of the library's registration entry points, as a set-up program
// does.
HRESULT runEntry(const std::filesystem::path& library, const char* name) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        return HRESULT_MOD_NOT_FOUND;
    }
    const auto entry = reinterpret_cast<DllRegisterServerFunction>(dlsym(handle, name));
    const HRESULT hr = entry != nullptr ? entry() : E_FAIL;
    dlclose(handle);
    return hr;
}

std::string unescaped(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (text[++i]) {
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        case 'n':
            out += '\n';
            break;
        default:
            out += text[i];
        }
    }
    return out;
}

} // namespace

std::filesystem::path libraryPath() {
    return FAKE_TAVELO_LIBRARY;
}

HRESULT registerControl(const std::filesystem::path& library) {
    return runEntry(library, "DllRegisterServer");
}

HRESULT unregisterControl(const std::filesystem::path& library) {
    return runEntry(library, "DllUnregisterServer");
}

std::filesystem::path folder() {
    const char* root = std::getenv("CORVANTIX_ROOT");
    return root != nullptr ? std::filesystem::path(root) / "FakeVondelTavelo"
                           : std::filesystem::path();
}

void setScript(std::string_view text) {
    std::filesystem::create_directories(folder());
    std::ofstream(folder() / "script", std::ios::binary | std::ios::trunc) << text;
}

std::vector<Call> calls() {
    std::vector<Call> out;
    std::ifstream file(folder() / "calls", std::ios::binary);
    for (std::string line; std::getline(file, line);) {
        Call call;
        std::istringstream fields(line);
        std::string field;
        std::getline(fields, field, '\t');
        call.object = std::atoi(field.c_str());
        std::getline(fields, call.method, '\t');
        while (std::getline(fields, field, '\t')) {
            call.arguments.push_back(unescaped(field));
        }
        // A trailing empty argument leaves no field for getline.
        if (!line.empty() && line.back() == '\t') {
            call.arguments.emplace_back();
        }
        out.push_back(std::move(call));
    }
    return out;
}

std::vector<Call> methodCalls() {
    std::vector<Call> out;
    for (auto& call : calls()) {
        if (call.method != "Create" && call.method != "Destroy") {
            out.push_back(std::move(call));
        }
    }
    return out;
}

void clearCalls() {
    std::error_code ec;
    std::filesystem::remove(folder() / "calls", ec);
}

std::vector<BSTR> lastTextArguments() {
    void* handle = dlopen(libraryPath().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return {};
    }
    using Reader = std::size_t (*)(BSTR*, std::size_t);
    const auto reader = reinterpret_cast<Reader>(dlsym(handle, "fakeTaveloLastTextArguments"));
    std::vector<BSTR> out;
    if (reader != nullptr) {
        out.resize(reader(nullptr, 0));
        reader(out.data(), out.size());
    }
    dlclose(handle);
    return out;
}

} // namespace fake_tavelo
