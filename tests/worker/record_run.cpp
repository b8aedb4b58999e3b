// Stands in for a program the worker starts (the component uninstaller):
// appends "<program file name> <arguments>" as one line to program-runs.txt
// in the sandbox.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    const char* root = std::getenv("CORVANTIX_ROOT");
    if (root == nullptr) {
        return 2;
    }
    std::error_code ec;
    std::string line = std::filesystem::read_symlink("/proc/self/exe", ec).filename().string();
    for (int i = 1; i < argc; ++i) {
        line += std::string(" ") + argv[i];
    }
    std::ofstream(std::string(root) + "/program-runs.txt", std::ios::app) << line << "\n";
    return 0;
}
