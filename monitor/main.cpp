#include "monitor/Monitor.h"

#include <cstdio>
#include <cstdlib>

int main() {
    const int code = monitorMain();
    // The keeper, receiver and key threads are never joined: end the process
    // without running static destructors under them.
    std::fflush(nullptr);
    std::_Exit(code);
}
