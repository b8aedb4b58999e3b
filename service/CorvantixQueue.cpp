#include "service/CorvantixQueue.h"

#include "common/Tool.h"
#include "common/ToolLog.h"

namespace {

constexpr std::string_view kCorvantixLibDir = "Vondel";
constexpr std::string_view kCorvantixComName = "VondelTaveloZynAdapter";

bool equalsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && toLowerString(a) == toLowerString(b);
}

constexpr std::string_view kDropped = "\"$&*/:;<>?\\|";

} // namespace

int lookupPathId(std::string_view pathId, std::string& libDir, std::string& comName) {
    if (!equalsNoCase(pathId, kCorvantixPathId)) {
        return 1;
    }
    libDir = kCorvantixLibDir;
    comName = kCorvantixComName;
    return 0;
}

bool checkPathTable(std::string_view libDir, std::string_view comName) {
    const bool same =
        equalsNoCase(libDir, kCorvantixLibDir) && equalsNoCase(comName, kCorvantixComName);
    logWarning("Path table compare: ", same ? "Success" : "Fail");
    logWarning("Lib: ", kCorvantixLibDir);
    logWarning("Component: ", kCorvantixComName);
    return same;
}

std::string sanitizeName(std::string_view text, std::size_t size) {
    std::string out;
    const std::size_t limit = size > 0 ? size - 1 : 0;
    for (std::size_t i = 0; i < text.size() && i < limit && text[i] != '\0'; ++i) {
        if (kDropped.find(text[i]) == std::string_view::npos) {
            out += text[i];
        }
    }
    if (out == "..") {
        out.clear();
    }
    return out;
}
