// The printf engine behind DbgPrint and the bounded string functions (private).
#pragma once

#include <cstdarg>
#include <string>

namespace platform::text {

// Formats into a string of the format's character type (see kernel/rtl.h for the
// conversions). `args` is consumed.
std::string FormatA(const char* format, va_list args);
std::u16string FormatW(const char16_t* format, va_list args);

}  // namespace platform::text
