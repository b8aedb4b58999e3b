// Receives on a channel with a final function that appends the line "final"
// to final.txt in the sandbox and lets the program run on:
//   quit_receiver <channel> both|lock
// "both" runs the window and the lock-mode receiver (startIpc), "lock" the
// lock-mode receiver alone. A quit by lock mode ends the program with exit
// code 0 after the final function; ready.txt appears once the receivers
// run. Exit code 9: nothing ended it within 10 seconds.

#include "common/Message.h"
#include "common/ToolLog.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

int main(int argc, char** argv) {
    const char* root = std::getenv("CORVANTIX_ROOT");
    if (argc != 3 || root == nullptr) {
        return 2;
    }
    const std::string folder = root;
    setLog("QuitReceiver");
    registerFinalFunction(
        [folder] { std::ofstream(folder + "/final.txt", std::ios::app) << "final\n"; });
    const bool started = std::string_view(argv[2]) == "lock" ? startCrossPlatformReceiver(argv[1])
                                                             : startIpc(argv[1]);
    if (!started) {
        return 4;
    }
    std::ofstream(folder + "/ready.txt") << "ready\n";
    std::this_thread::sleep_for(std::chrono::seconds(10));
    return 9;
}
