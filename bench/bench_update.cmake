# The installation benchmark needs an updater that trusts the tests' key; it
# is built here, beside the benchmarks, and never installed.
if(TARGET bench_update)
  add_executable(zqupdate_benchkey ${CMAKE_SOURCE_DIR}/updater/zqupdate_main.cpp)
  target_link_libraries(zqupdate_benchkey PRIVATE zq_updater)
  target_compile_definitions(zqupdate_benchkey PRIVATE ZQ_UPD_TEST_BUILD
    ZQ_RELEASE_KEY_ID="7e57c0de"
    ZQ_RELEASE_PUBKEY="736e29419022bc9889e95d195db861b149cf84e78b3706a72d525d9232fad0c9")
  set_target_properties(zqupdate_benchkey PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                        ${CMAKE_BINARY_DIR}/bench_bin OUTPUT_NAME zqupdate)
  add_dependencies(bench_update zqupdate_benchkey)
  target_compile_definitions(bench_update PRIVATE
    ZQ_BENCH_UPDATER="${CMAKE_BINARY_DIR}/bench_bin/zqupdate"
    ZQ_BENCH_KEY="${CMAKE_SOURCE_DIR}/tests/updater/test_key.pem")
endif()
