# zqnet: the privileged mount and time helper, a shell script installed
# beside the programs (the supervisor and the server run it from there).
set(zqnet_out ${CMAKE_BINARY_DIR}/bin/zqnet)
add_custom_command(OUTPUT ${zqnet_out}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/zqnet ${zqnet_out}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/zqnet)
add_custom_target(zqnet_script ALL DEPENDS ${zqnet_out})
add_dependencies(zq_programs zqnet_script)
