#include <unistd.h>

#include <exception>
#include <iostream>

#include "cli/commands.h"
#include "cli/exit_codes.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    Console io{std::cout, std::cerr, std::cin, isatty(STDIN_FILENO) != 0, isatty(STDERR_FILENO) != 0};
    int code;
    try {
        code = RunCommandLine(argc, argv, io);
    } catch (const std::exception& e) {
        // Out of memory or a library's refusal: say so rather than abort with a core dump.
        std::cout.flush();
        std::cerr << "daduvivu: " << e.what() << std::endl;
        return ExitDamaged;
    }
    std::cout.flush();
    return code;
}
