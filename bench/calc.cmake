# The Structured Text benchmark runs the same arithmetic in Lua 5.4 as the
# reference (Debian liblua5.4-dev); without Lua it measures Structured Text only.
if(TARGET bench_calc_st)
  find_package(PkgConfig)
  if(PkgConfig_FOUND)
    pkg_check_modules(ZQ_LUA IMPORTED_TARGET lua5.4)
  endif()
  if(ZQ_LUA_FOUND)
    target_link_libraries(bench_calc_st PRIVATE PkgConfig::ZQ_LUA)
    target_compile_definitions(bench_calc_st PRIVATE ZQ_HAVE_LUA=1)
  endif()
endif()
