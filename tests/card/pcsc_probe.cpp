// Prints what establishing a context gives, for a test that runs it with
// another environment.

#include "platform/pcsc/Pcsc.h"

#include <cstdio>

int main() {
    platform::pcsc::ContextHandle context = 0;
    const auto result = platform::pcsc::SCardEstablishContext(platform::pcsc::kScopeUser, &context);
    if (result == platform::pcsc::kSuccess) {
        platform::pcsc::SCardReleaseContext(context);
    }
    std::printf("0x%X\n", static_cast<unsigned>(result));
    return 0;
}
