// Embeds the committed filter file (dsp/virtualiser/data/lpv_filters.bin) in the
// library. The assembler copies the file's bytes into read-only data, so the build needs
// nothing but the toolchain; CMake passes the file's path and its SHA-256 (the latter so
// that a compiler cache sees a changed file as a changed source).
#include "headphone_filter_file.h"

#ifndef LPV_FILTER_FILE
#error "LPV_FILTER_FILE must name the filter file"
#endif

__asm__(
    ".pushsection .rodata.lpv_filter_file, \"a\", @progbits\n"
    ".balign 64\n"
    ".hidden lpv_filter_file_begin\n"
    ".hidden lpv_filter_file_end\n"
    "lpv_filter_file_begin:\n"
    ".incbin \"" LPV_FILTER_FILE "\"\n"
    "lpv_filter_file_end:\n"
    ".popsection\n");

extern "C" const unsigned char lpv_filter_file_begin[];
extern "C" const unsigned char lpv_filter_file_end[];

const unsigned char* LpvEmbeddedFilterFile(std::size_t* size) {
  *size = static_cast<std::size_t>(lpv_filter_file_end - lpv_filter_file_begin);
  return lpv_filter_file_begin;
}
