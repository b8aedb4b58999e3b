// Runs both message receivers on a channel, for tests of the ways a quit
// ends a program.
//   message_receiver <channel> final|nofinal
// With "final" the registered final function appends "final" to final.txt
// in the sandbox and lets main end the program with exit code 7; a receiver
// that ends the process itself gives exit code 0. The file ready.txt appears
// once the receivers run. Exit code 9: nothing arrived within 10 seconds.

#include "common/Message.h"
#include "common/ToolLog.h"

#include <atomic>
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
    setLog("Receiver");
    static std::atomic<bool> quit{false};
    if (std::string_view(argv[2]) == "final") {
        registerFinalFunction([folder] {
            std::ofstream(folder + "/final.txt", std::ios::app) << "final\n";
            quit = true;
        });
    }
    if (!startIpc(argv[1])) {
        return 4;
    }
    std::ofstream(folder + "/ready.txt") << "ready\n";
    for (int i = 0; i < 1000 && !quit; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stopIpc();
    return quit ? 7 : 9;
}
