#include <unistd.h>

#include <iostream>

#include "cli/commands.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    Console io{std::cout, std::cerr, std::cin, isatty(STDIN_FILENO) != 0, isatty(STDERR_FILENO) != 0};
    int code = RunCommandLine(argc, argv, io);
    std::cout.flush();
    return code;
}
