#include <cstring>

#include "container/archive.h"
#include "packer/pack.h"

#ifdef PACKER_HAS_EMBEDDED_STUB
#include "stub/embedded_stub.h"
#endif

namespace {

// A stand-in for the Windows stub while its build is missing: the right size, so that
// archives made with it extract with the core (which only needs the same bytes on both
// sides), but not a program Windows can start.
std::vector<uint8_t> PlaceholderImage() {
    std::vector<uint8_t> image(StubSize, 0);
    const char text[] = "MZ daduvivu placeholder stub: not a Windows program; pack with --stub\r\n";
    std::memcpy(image.data(), text, sizeof text - 1);
    return image;
}

}  // namespace

bool DefaultStubIsReal() {
#ifdef PACKER_HAS_EMBEDDED_STUB
    return EmbeddedStubIsReal();
#else
    return false;
#endif
}

const std::vector<uint8_t>& DefaultStubImage() {
    static const std::vector<uint8_t> image = [] {
#ifdef PACKER_HAS_EMBEDDED_STUB
        const unsigned char* bytes = EmbeddedStubImage();
        if (bytes) return std::vector<uint8_t>(bytes, bytes + StubSize);
#endif
        return PlaceholderImage();
    }();
    return image;
}
