#include "pack_fixture.h"

TEST_F(PackTest, OneFileComesBack) {
    MakeFile("a.txt", TextBytes(5000, 1));
    PackSource(Options());
    ExpectRestored();
}
