// Counts every allocation through the global operator new of the test binary that links
// global_allocations.cpp, so a test can show that a hot path allocates nothing from the
// C++ heap. Only binaries that build the source replace the operators.
#pragma once

namespace platform::testing {

long GlobalAllocations();

}  // namespace platform::testing
