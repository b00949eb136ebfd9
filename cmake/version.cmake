# The version text "<release> (<revision> <build date>)" is regenerated on
# every build so a program always reports the revision it was built from.
file(STRINGS ${CMAKE_SOURCE_DIR}/VERSION ZQ_RELEASE LIMIT_COUNT 1)
set(ZQ_VERSION_HEADER ${CMAKE_BINARY_DIR}/gen/zq_version_gen.h)
add_custom_target(zq_version_gen ALL
  COMMAND ${CMAKE_COMMAND} -DSRC=${CMAKE_SOURCE_DIR} -DOUT=${ZQ_VERSION_HEADER}
          -DRELEASE=${ZQ_RELEASE} -P ${CMAKE_SOURCE_DIR}/cmake/version_gen.cmake
  BYPRODUCTS ${ZQ_VERSION_HEADER}
  COMMENT "Version stamp")
