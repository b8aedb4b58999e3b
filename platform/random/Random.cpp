#include "platform/random/Random.h"

#include <cerrno>
#include <sys/random.h>

namespace platform {

bool randomBytes(std::uint8_t* buffer, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = getrandom(buffer + done, count - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace platform
