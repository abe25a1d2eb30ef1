// The embedded filter file's bytes (64-byte aligned).
#pragma once

#include <cstddef>

const unsigned char* LpvEmbeddedFilterFile(std::size_t* size);
