// Stands in for the worker: appends its arguments as one line to
// worker-args.txt in the sandbox, so a test can see that it was started.

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    const char* root = std::getenv("CORVANTIX_ROOT");
    if (root == nullptr) {
        return 2;
    }
    std::FILE* file = std::fopen((std::string(root) + "/worker-args.txt").c_str(), "a");
    if (file == nullptr) {
        return 3;
    }
    for (int i = 1; i < argc; ++i) {
        std::fprintf(file, i > 1 ? " %s" : "%s", argv[i]);
    }
    std::fputc('\n', file);
    std::fclose(file);
    return 0;
}
