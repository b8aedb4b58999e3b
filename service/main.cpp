#include "service/Corvantix.h"

int main(int argc, char** argv) {
    // Before any daemon starts: their connection limits are shares of it.
    raiseOpenFileLimit();
    return serviceMain(argc, argv);
}
