# zqtrend-dump: prints a version-1 or version-2 trend file as text or CSV.
zq_program(zqtrend-dump SOURCES ${CMAKE_CURRENT_LIST_DIR}/zqtrend_dump_main.cpp LIBS zq_trend)
install(TARGETS zqtrend-dump RUNTIME DESTINATION .)
