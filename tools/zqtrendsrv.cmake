#zqtrendsrv : test trend server receiving trend pushes(not part of the system).
add_library(zq_trendsrv_store STATIC ${CMAKE_CURRENT_LIST_DIR} / zqtrendsrv_store.cpp)
    target_include_directories(zq_trendsrv_store PUBLIC ${CMAKE_CURRENT_LIST_DIR})
        target_link_libraries(zq_trendsrv_store PUBLIC zq_trend)
            zq_program(zqtrendsrv SOURCES ${CMAKE_CURRENT_LIST_DIR} /
                       zqtrendsrv_main.cpp LIBS zq_trendsrv_store)
