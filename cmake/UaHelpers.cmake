# Shared CMake helpers.

# Signal-processing code: exact IEEE single-precision arithmetic, no contraction into
# fused multiply-adds and never fast-math.
set(UA_DSP_FLAGS -ffp-contract=off -fno-fast-math)

# Instruction-set flags of the three processor builds of the primitives. The generic
# build uses the baseline x86-64 instruction set (SSE2).
set(SP_BUILD_FLAGS_generic -march=x86-64 -mtune=generic)
set(SP_BUILD_FLAGS_sse3  -march=x86-64 -mtune=generic -msse3)
set(SP_BUILD_FLAGS_ssse3 -march=x86-64 -mtune=generic -mssse3)
set(SP_BUILD_FLAGS_sse41 -march=x86-64 -mtune=generic -msse4.1)

# sp_add_library(<target> <sources>...)
# A primitives library. Each source belongs to one build by its name:
#   *.sse3.cpp, *.ssse3.cpp, *.sse41.cpp -> that processor build, any other -> generic.
# Every build's sources are compiled with that build's instruction-set flags only, and
# keep all their code in the build's namespace (sp::generic, sp::sse3, sp::ssse3,
# sp::sse41); the check registered by sp_add_isa_check() enforces both rules.
function(sp_add_library target)
  add_library(${target} STATIC ${ARGN})
  # Loops start on a 64-byte boundary: a short hot loop that straddles one ran at half
  # speed, so the same source measured up to twice as slow in one build as in another
  # depending only on where the linker placed it.
  target_compile_options(${target} PRIVATE ${UA_DSP_FLAGS} -falign-loops=64)
  foreach(src IN LISTS ARGN)
    if(src MATCHES "\\.sse41\\.(cpp|c)$")
      set(build sse41)
    elseif(src MATCHES "\\.ssse3\\.(cpp|c)$")
      set(build ssse3)
    elseif(src MATCHES "\\.sse3\\.(cpp|c)$")
      set(build sse3)
    else()
      set(build generic)
    endif()
    set_source_files_properties(${src} TARGET_DIRECTORY ${target}
      PROPERTIES COMPILE_OPTIONS "${SP_BUILD_FLAGS_${build}}")
  endforeach()
  if(UA_BUILD_TESTS)
    add_test(NAME isa_check.${target}
      COMMAND bash "${PROJECT_SOURCE_DIR}/cmake/check_isa.sh" "$<TARGET_OBJECTS:${target}>"
      COMMAND_EXPAND_LISTS)
    set_tests_properties(isa_check.${target} PROPERTIES LABELS "isa")
  endif()
endfunction()

# ua_add_gtest(<name> SOURCES <files>... [LIBS <targets>...] [LABELS <labels>...])
# One test executable, registered with CTest as one test.
function(ua_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
