// Writes many long lines through the log library, so a test can check that
// writers in several processes never mix their lines.
//   log_writer <identity> <lines>

#include "common/ToolLog.h"

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    if (!setLog(argv[1])) {
        return 3;
    }
    const int lines = std::atoi(argv[2]);
    const std::string payload(400, argv[1][0]);
    for (int i = 0; i < lines; ++i) {
        logNormal("line " + std::to_string(i) + " ", payload);
    }
    return 0;
}
