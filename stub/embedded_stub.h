// The stub image that daduvivu pack puts in front of every archive it makes.
#pragma once

constexpr unsigned EmbeddedStubSize = 28672;

// EmbeddedStubSize bytes: the padded sfx.exe of this build, or a stand-in when the
// build had no Windows cross-compiler (then EmbeddedStubIsReal() is false and the
// archives made with it do not run).
const unsigned char* EmbeddedStubImage();
bool EmbeddedStubIsReal();
