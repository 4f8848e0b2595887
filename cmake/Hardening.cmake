# The Linux programs, the privileged echo helper above all, hardened by the
# project's own build as Debian builds its packages, whatever the build type
# and however the result is installed (the package adds the same flags through
# dpkg-buildflags): position-independent executables, the strong stack
# protector, stack-clash and, where the compiler has it, control-flow
# protection, the C library's buffer checks, and relocations made read-only
# after immediate binding. The buffer checks need the optimiser, so a build
# type whose flags leave it off (Debug, or None without flags) gets -Og.
# The Windows build is hardened by its toolchain file.
include(CheckCXXCompilerFlag)
include(CheckPIESupported)

check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "sondar_has${flag}" known)
  check_cxx_compiler_flag(${flag} ${known})
  if(${known})
    add_compile_options(${flag})
  endif()
endforeach()

get_property(sondarMultiConfig GLOBAL PROPERTY GENERATOR_IS_MULTI_CONFIG)
string(TOUPPER "${CMAKE_BUILD_TYPE}" sondarBuildType)
if(sondarMultiConfig)
  add_compile_options($<$<CONFIG:Debug>:-Og>)
elseif(NOT " ${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_${sondarBuildType}} " MATCHES " -O([1-3sgz]|fast)? ")
  add_compile_options(-Og)
endif()
add_compile_definitions(_FORTIFY_SOURCE=2)
add_link_options(-Wl,-z,relro -Wl,-z,now)
