# Mach-O test images, built on Linux with clang's Darwin targets and lld's Mach-O linker. lld 14
# writes wrong FDE addresses into __eh_frame, so the linker is lld 16's.
#
#   sablix_add_macho_fixture(<target> ARCH x86_64|arm64 KIND dylib|executable
#                            SOURCES <c or m files...> OUTPUT <file> [FLAGS <compiler flags...>])
#
# An executable starts at _main; its __PAGEZERO reaches to 0x200000000000, where its __TEXT is
# linked, because AddressSanitizer's shadow memory covers the usual 0x100000000 and a test places
# the executable at its link address. A dylib is linked at 0. Neither links a system library:
# the sources call nothing outside themselves.
find_program(SABLIX_MACHO_CC clang)
find_program(SABLIX_MACHO_LD ld64.lld-16)

function(sablix_add_macho_fixture name)
  cmake_parse_arguments(FIXTURE "" "ARCH;KIND;OUTPUT" "SOURCES;FLAGS" ${ARGN})
  if(NOT SABLIX_MACHO_CC OR NOT SABLIX_MACHO_LD)
    message(FATAL_ERROR "Mach-O fixtures need clang and ld64.lld-16 (scripts/bootstrap installs them)")
  endif()
  set(objects "")
  foreach(source ${FIXTURE_SOURCES})
    get_filename_component(stem ${source} NAME_WE)
    set(object ${CMAKE_CURRENT_BINARY_DIR}/${name}-${stem}.o)
    add_custom_command(OUTPUT ${object}
      COMMAND ${SABLIX_MACHO_CC} -target ${FIXTURE_ARCH}-apple-macos11 -O1 -fno-stack-protector ${FIXTURE_FLAGS} -c ${source} -o ${object}
      DEPENDS ${source} VERBATIM)
    list(APPEND objects ${object})
  endforeach()
  if(FIXTURE_KIND STREQUAL "dylib")
    get_filename_component(install_name ${FIXTURE_OUTPUT} NAME)
    set(kind_flags -dylib -install_name @rpath/${install_name})
  else()
    set(kind_flags -execute -e _main -pagezero_size 0x200000000000)
  endif()
  add_custom_command(OUTPUT ${FIXTURE_OUTPUT}
    COMMAND ${SABLIX_MACHO_LD} -arch ${FIXTURE_ARCH} -platform_version macos 11.0 11.0 ${kind_flags}
      -o ${FIXTURE_OUTPUT} ${objects}
    DEPENDS ${objects} VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${FIXTURE_OUTPUT})
endfunction()
