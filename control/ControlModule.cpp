#include "control/ControlModule.h"

#include "control/ControlBarrier.h"
#include "control/ControlLog.h"
#include "control/ui/UI.h"

#include <mutex>

namespace tavelo {

std::u16string g_szUserBrowser;
std::atomic<int> isFinish{0};

const void* moduleInstance() noexcept {
    return reinterpret_cast<const void*>(&moduleInstance);
}

void moduleStart() noexcept {
    static std::once_flag once;
    controlBarrier("moduleStart", [] {
        std::call_once(once, [] {
            Log_Init("Tavelo", "Tavelo.ini");
            UI_SetInstance(moduleInstance());
            // Reader and token detection keeps the module instance too: its
            // DetectSetInstance(moduleInstance()) belongs here once that
            // module is part of the library.
        });
    });
}

} // namespace tavelo
