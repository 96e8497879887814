# Long recordings on the simulated input device with a driven clock: every
# byte the device produced must land in the file, and memory must stay flat.
#   bench_recorder_hour [minutes] [folder]
add_executable(bench_recorder_hour ${CMAKE_CURRENT_LIST_DIR}/bench_recorder_hour.cpp)
target_link_libraries(bench_recorder_hour PRIVATE orvant_audio)
