#include "service/LoadedAdapter.h"

#include "common/ToolLog.h"

#include <dlfcn.h>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

LoadedAdapter::LoadedAdapter(void* module, fs::path file, bool ownsFile) noexcept
    : module_(module), file_(std::move(file)), ownsFile_(ownsFile) {}

LoadedAdapter LoadedAdapter::open(const fs::path& file, bool ownsFile) {
    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        return {};
    }
    return LoadedAdapter(module, file, ownsFile);
}

LoadedAdapter::LoadedAdapter(LoadedAdapter&& other) noexcept
    : module_(std::exchange(other.module_, nullptr)), file_(std::move(other.file_)),
      ownsFile_(std::exchange(other.ownsFile_, false)) {
    other.file_.clear();
}

LoadedAdapter& LoadedAdapter::operator=(LoadedAdapter&& other) noexcept {
    if (this != &other) {
        LoadedAdapter gone(std::move(*this));
        module_ = std::exchange(other.module_, nullptr);
        file_ = std::move(other.file_);
        other.file_.clear();
        ownsFile_ = std::exchange(other.ownsFile_, false);
    }
    return *this;
}

// Quietly: a session still open when the slots are reset or the process ends
// has no release to log.
LoadedAdapter::~LoadedAdapter() {
    if (module_ != nullptr) {
        dlclose(module_);
    }
    if (ownsFile_) {
        std::error_code ec;
        fs::remove(file_, ec);
    }
}

void* LoadedAdapter::symbol(const char* name) const {
    return module_ != nullptr ? dlsym(module_, name) : nullptr;
}

bool LoadedAdapter::moveTo(const fs::path& target) {
    std::error_code ec;
    fs::rename(file_, target, ec);
    if (ec) {
        return false;
    }
    file_ = target;
    return true;
}

void LoadedAdapter::release() {
    bool freed = true;
    if (module_ == nullptr) {
        logWarning("FreeLibrary: ", "NULL");
    } else if (dlclose(module_) != 0) {
        const char* reason = dlerror();
        logWarning("Free library error code: ", reason != nullptr ? reason : "");
        freed = false;
    }
    module_ = nullptr;
    if (logWritersOn()) {
        if (freed) {
            logNormal("Release adapter state: ", "Success");
        } else {
            logWarning("Release adapter state: ", "Fail");
        }
    }

    if (ownsFile_ && !file_.empty()) {
        std::error_code ec;
        const bool deleted = fs::remove(file_, ec);
        if (logWritersOn()) {
            if (deleted) {
                logNormal("Delete adapter state: ", "Success");
            } else {
                logWarning("Delete adapter state: ", "Fail");
            }
        }
    }
    file_.clear();
    ownsFile_ = false;
}
