# netmodel: reads model files back (info, plot, render, compare).
add_executable(netmodel ${CMAKE_SOURCE_DIR}/tools/netmodel.cpp)
target_link_libraries(netmodel PRIVATE nettrainer_core wavgen)
set_target_properties(netmodel PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${NETTRAINER_BIN_DIR})
