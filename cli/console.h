// Where a command talks: standard streams in the program, string streams in tests.
#pragma once

#include <iostream>

struct Console {
    std::ostream& out;
    std::ostream& err;
    std::istream& in;
    bool inputIsTerminal = false;   // questions may be asked
    bool errorIsTerminal = false;   // a progress bar may be drawn on err
};
