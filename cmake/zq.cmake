# Helpers shared by every module's CMakeLists.txt.
#
#   zq_library(<target> [DIR <dir>] [EXCLUDE <regex>] [LIBS <libs...>])
#       A static library from every *.cpp of DIR (default: the current
#       directory) except files named *_main.cpp (program entry points).
#   zq_program(<name> SOURCES <files...> [LIBS <libs...>])
#       A program in build/<preset>/bin, added to the zq_programs target.
#   zq_test(<name> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>])
#       A GoogleTest executable registered with CTest, linked with the test
#       support library (tests/support). It sees ZQ_BIN_DIR (the programs),
#       ZQ_SOURCE_DIR and ZQ_TEST_DATA_DIR (tests/data).
#   zq_bench(<name> SOURCES <files...> [LIBS <libs...>])
#   zq_fuzz(<name> SOURCES <files...> [LIBS <libs...>])

function(zq_library target)
  cmake_parse_arguments(A "" "DIR;EXCLUDE" "LIBS" ${ARGN})
  if(NOT A_DIR)
    set(A_DIR ${CMAKE_CURRENT_SOURCE_DIR})
  endif()
  file(GLOB srcs CONFIGURE_DEPENDS ${A_DIR}/*.cpp ${A_DIR}/*.c)
  list(FILTER srcs EXCLUDE REGEX "_main\\.cpp$")
  if(A_EXCLUDE)
    list(FILTER srcs EXCLUDE REGEX "${A_EXCLUDE}")
  endif()
  if(NOT srcs)
    # A module whose sources are not written yet still links.
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR} ${A_DIR})
    target_link_libraries(${target} INTERFACE ${A_LIBS} Threads::Threads)
    return()
  endif()
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR} ${A_DIR})
  target_link_libraries(${target} PUBLIC ${A_LIBS} Threads::Threads)
endfunction()

function(zq_program name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  add_dependencies(zq_programs ${name})
endfunction()

function(zq_test name)
  cmake_parse_arguments(A "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} zq_test_support GTest::gtest GTest::gmock
                        GTest::gtest_main)
  target_compile_definitions(${name} PRIVATE
    ZQ_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    ZQ_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
    ZQ_TEST_DATA_DIR="${CMAKE_SOURCE_DIR}/tests/data")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_dependencies(${name} zq_programs)
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT ${A_TIMEOUT} LABELS "${A_LABELS}")
endfunction()

function(zq_bench name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS} benchmark::benchmark)
  target_compile_definitions(${name} PRIVATE
    ZQ_BIN_DIR="${CMAKE_BINARY_DIR}/bin"
    ZQ_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  add_dependencies(${name} zq_programs)
endfunction()

function(zq_fuzz name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
endfunction()

# zq_module_tests(<module> LIBS <libs...> [TIMEOUT <s>])
#   One test executable per tests/<module>/test_*.cpp, named
#   test_<module>_<file stem>, linked with LIBS.
function(zq_module_tests module)
  cmake_parse_arguments(A "" "TIMEOUT" "LIBS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  foreach(src ${srcs})
    get_filename_component(stem ${src} NAME_WE)
    string(REGEX REPLACE "^test_" "" stem ${stem})
    zq_test(test_${module}_${stem} SOURCES ${src} LIBS ${A_LIBS} TIMEOUT ${A_TIMEOUT} LABELS ${module})
  endforeach()
endfunction()
