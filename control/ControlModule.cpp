#include "control/ControlModule.h"

#include "control/ControlBarrier.h"
#include "control/ControlLog.h"
#include "control/ui/QxDetect.h"
#include "control/ui/UI.h"

#include <mutex>

namespace tavelo {

const void* moduleInstance() noexcept {
    return reinterpret_cast<const void*>(&moduleInstance);
}

void moduleStart() noexcept {
    static std::once_flag once;
    controlBarrier("moduleStart", [] {
        std::call_once(once, [] {
            Log_Init("Tavelo", "Tavelo.ini");
            UI_SetInstance(moduleInstance());
            DetectSetInstance(moduleInstance());
        });
    });
}

} // namespace tavelo
