#include "service/Corvantix.h"

int main(int argc, char** argv) {
    return serviceMain(argc, argv);
}
