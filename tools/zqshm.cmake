# zqshm: command-line inspector of the real-time database.
zq_program(zqshm SOURCES ${CMAKE_CURRENT_LIST_DIR}/zqshm_main.cpp LIBS zq_common)
install(TARGETS zqshm RUNTIME DESTINATION .)
