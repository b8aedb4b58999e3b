#include "worker/Worker.h"

int main(int argc, char** argv) {
    return workerMain(argc, argv);
}
