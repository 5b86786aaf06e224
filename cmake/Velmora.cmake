# Build conventions shared by every folder.

option(VELMORA_WERROR "Treat compiler warnings as errors" OFF)
option(VELMORA_SANITIZE "Host build: AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

# Fuzz targets need clang's libFuzzer; they exist on a clang host build only.
if(NOT WIN32 AND CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(VELMORA_FUZZ ON)
else()
  set(VELMORA_FUZZ OFF)
endif()

if(VELMORA_SANITIZE AND NOT WIN32)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

function(velmora_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra
                         $<$<BOOL:${VELMORA_WERROR}>:-Werror>)
endfunction()

# Product code: no exceptions, no run-time type information and (on Windows) no unwind tables,
# every function in its own section so that the linker can drop what the installer does not use.
function(velmora_product_code target)
  velmora_warnings(${target})
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti
                         $<$<BOOL:${WIN32}>:-ffunction-sections -fdata-sections
                           -fno-asynchronous-unwind-tables -fno-unwind-tables>)
endfunction()

# velmora_library(NAME SOURCES ... [DEPENDS ...])
# A static library of product code. On the clang host build a twin NAME_fuzz is made with
# coverage instrumentation for the fuzz targets; its velmora_* dependencies are the twins too.
function(velmora_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}/generated)
  target_link_libraries(${name} PUBLIC ${ARG_DEPENDS})
  velmora_product_code(${name})
  if(VELMORA_FUZZ)
    set(fuzz_depends "")
    foreach(dependency IN LISTS ARG_DEPENDS)
      if(dependency MATCHES "^velmora_")
        list(APPEND fuzz_depends ${dependency}_fuzz)
      else()
        list(APPEND fuzz_depends ${dependency})
      endif()
    endforeach()
    add_library(${name}_fuzz STATIC ${ARG_SOURCES})
    target_include_directories(${name}_fuzz PUBLIC ${PROJECT_SOURCE_DIR}
                               ${PROJECT_BINARY_DIR}/generated)
    target_link_libraries(${name}_fuzz PUBLIC ${fuzz_depends})
    velmora_product_code(${name}_fuzz)
    target_compile_options(${name}_fuzz PRIVATE -fsanitize=fuzzer-no-link)
  endif()
endfunction()

# velmora_tool(NAME SOURCES ... DEPENDS ...): a command-line tool built on both presets.
function(velmora_tool name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPENDS})
  velmora_product_code(${name})
  if(WIN32)
    target_link_options(${name} PRIVATE -static -municode -Wl,--gc-sections -s)
  endif()
endfunction()
