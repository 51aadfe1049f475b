// The packer's one kind of failure.
#pragma once

#include <stdexcept>

// Every refusal and failure of the packer: the message is plain English and names the
// file or option concerned. Nothing is left behind when it is thrown.
struct PackError : std::runtime_error {
    using std::runtime_error::runtime_error;
};
