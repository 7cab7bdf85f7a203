// Prints the crypt hash of the password read from standard input (first
// line), made with the method named by the argument ("$y$", "$6$", ...).
// Used by the demo to write its private shadow file.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "accounts.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s '$y$' < password\n", argv[0]);
        return 2;
    }
    std::string password;
    std::getline(std::cin, password);
    try {
        std::cout << testsupport::cryptHash(password, argv[1]) << '\n';
    } catch (const std::exception &e) {
        fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
