# corvex_library(<name> SOURCES ... [DEPS ...])
#   One static library per source folder; its folder's parent is on the include path so
#   that headers are included as "folder/Header.h".
function(corvex_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  if(ARG_DEPS)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  endif()
endfunction()

# corvex_test(<name> LABEL unit|db|e2e SOURCES ... [DEPS ...] [TIMEOUT s])
#   A GoogleTest executable registered with CTest, each test case as its own CTest test.
function(corvex_test name)
  cmake_parse_arguments(ARG "" "LABEL;TIMEOUT" "SOURCES;DEPS" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
  gtest_discover_tests(${name}
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT ${ARG_TIMEOUT}
    DISCOVERY_TIMEOUT 60)
endfunction()

# corvex_add_subfolders(): adds every subfolder of the current folder that has a CMakeLists.txt,
# in name order (folders of programs, document handlers, benchmarks and test groups).
function(corvex_add_subfolders)
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/${child} AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()

# corvex_fuzz_target(<name> SOURCES ... [DEPS ...])
#   A libFuzzer executable (CORVEX_BUILD_FUZZ builds only).
function(corvex_fuzz_target name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR})
endfunction()

# corvex_embed_files(<output.cpp> SOURCE_DIR dir FILES ... HEADER h NAMESPACE ns TYPE t FUNCTION f
#                    [KEY_PREFIX p] COMMENT text)
#   Generates <output.cpp> holding the files (names relative to SOURCE_DIR) as byte arrays behind
#   `std::span<const t> ns::f()`; editing a file regenerates it at the next build.
function(corvex_embed_files output)
  cmake_parse_arguments(ARG "" "SOURCE_DIR;HEADER;NAMESPACE;TYPE;FUNCTION;KEY_PREFIX;COMMENT" "FILES" ${ARGN})
  set(inputs)
  foreach(f ${ARG_FILES})
    list(APPEND inputs ${ARG_SOURCE_DIR}/${f})
  endforeach()
  string(REPLACE ";" "|" files_arg "${ARG_FILES}")
  set(script ${CMAKE_SOURCE_DIR}/cmake/EmbedFiles.cmake)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${ARG_SOURCE_DIR} -DOUTPUT=${output} "-DFILES=${files_arg}"
            -DHEADER=${ARG_HEADER} -DNAMESPACE=${ARG_NAMESPACE} -DTYPE=${ARG_TYPE} -DFUNCTION=${ARG_FUNCTION}
            "-DKEY_PREFIX=${ARG_KEY_PREFIX}" -P ${script}
    DEPENDS ${inputs} ${script}
    COMMENT "${ARG_COMMENT}"
    VERBATIM)
endfunction()
