# BLAKE3: a system libblake3 when one is installed, otherwise the official C
# sources (with their x86-64 assembly back-ends) shipped by Debian's
# librust-blake3-dev, compiled in place. Nothing is copied into this tree.
find_path(LUMVO_SYSTEM_BLAKE3_INCLUDE blake3.h)
find_library(LUMVO_SYSTEM_BLAKE3_LIB blake3)
if(LUMVO_SYSTEM_BLAKE3_INCLUDE AND LUMVO_SYSTEM_BLAKE3_LIB)
  add_library(lumvero_blake3 INTERFACE)
  target_include_directories(lumvero_blake3 INTERFACE ${LUMVO_SYSTEM_BLAKE3_INCLUDE})
  target_link_libraries(lumvero_blake3 INTERFACE ${LUMVO_SYSTEM_BLAKE3_LIB})
  message(STATUS "BLAKE3: system library ${LUMVO_SYSTEM_BLAKE3_LIB}")
  return()
endif()

file(GLOB LUMVO_BLAKE3_DIRS LIST_DIRECTORIES true /usr/share/cargo/registry/blake3-*/c)
list(SORT LUMVO_BLAKE3_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET LUMVO_BLAKE3_DIRS 0 LUMVO_BLAKE3_DIR)
if(NOT LUMVO_BLAKE3_DIR OR NOT EXISTS ${LUMVO_BLAKE3_DIR}/blake3.c)
  message(FATAL_ERROR "BLAKE3 C sources not found: install Debian's librust-blake3-dev")
endif()
message(STATUS "BLAKE3: sources from ${LUMVO_BLAKE3_DIR}")
add_library(lumvero_blake3 STATIC
  ${LUMVO_BLAKE3_DIR}/blake3.c
  ${LUMVO_BLAKE3_DIR}/blake3_dispatch.c
  ${LUMVO_BLAKE3_DIR}/blake3_portable.c
  ${LUMVO_BLAKE3_DIR}/blake3_sse2_x86-64_unix.S
  ${LUMVO_BLAKE3_DIR}/blake3_sse41_x86-64_unix.S
  ${LUMVO_BLAKE3_DIR}/blake3_avx2_x86-64_unix.S
  ${LUMVO_BLAKE3_DIR}/blake3_avx512_x86-64_unix.S)
target_include_directories(lumvero_blake3 SYSTEM PUBLIC ${LUMVO_BLAKE3_DIR})
set_target_properties(lumvero_blake3 PROPERTIES POSITION_INDEPENDENT_CODE ON)
target_compile_options(lumvero_blake3 PRIVATE -w)
