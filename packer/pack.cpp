#include "packer/pack.h"

PackResult Pack(const PackOptions&) { throw PackError("pack is not available yet"); }
