# zqplcsim: the controller simulator used by tests, benchmarks and the demo.
file(GLOB zq_plcsim_srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/plcsim/*.cpp)
list(FILTER zq_plcsim_srcs EXCLUDE REGEX "_main\\.cpp$")
add_library(zq_plcsim STATIC ${zq_plcsim_srcs})
target_include_directories(zq_plcsim PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_CURRENT_LIST_DIR}/plcsim)
target_link_libraries(zq_plcsim PUBLIC zq_plc_driver zq_common Threads::Threads)
zq_program(zqplcsim SOURCES ${CMAKE_CURRENT_LIST_DIR}/plcsim/zqplcsim_main.cpp LIBS zq_plcsim)
