# zqst: check and run calculation programs outside the engine.
zq_program(zqst SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/zqst_main.cpp LIBS zq_calc)
install(TARGETS zqst RUNTIME DESTINATION .)
