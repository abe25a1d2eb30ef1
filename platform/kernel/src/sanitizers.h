// Whether the build runs under AddressSanitizer: GCC says so with __SANITIZE_ADDRESS__,
// clang (the fuzzing build) with __has_feature(address_sanitizer).
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define UA_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UA_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef UA_ADDRESS_SANITIZER
#define UA_ADDRESS_SANITIZER 0
#endif
