// Prints the protected form of a private key file, as the service carries it.
//   ProtectKey <key.pem>

#include "service/Key.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ProtectKey <key.pem>\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "ProtectKey: cannot read %s\n", argv[1]);
        return 1;
    }
    std::ostringstream text;
    text << in.rdbuf();
    std::string pem = text.str();
    const std::string hex = protectSecret(pem);
    secureWipe(pem.data(), pem.size());
    if (hex.empty()) {
        return 1;
    }
    std::cout << hex << '\n';
    return 0;
}
