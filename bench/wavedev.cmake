# The wave-device layer streaming Stereo16bit22050Hz on the simulated device
# in real time: CPU time of the whole process (layer I/O thread, callback
# thread, device) and allocations counted while streaming steadily.
#   bench_wavedev [seconds per phase, default 60]
add_executable(bench_wavedev ${CMAKE_CURRENT_LIST_DIR}/bench_wavedev.cpp)
target_link_libraries(bench_wavedev PRIVATE orvant_wavedev)
