# The wave-device layer streaming Stereo16bit22050Hz on the simulated device
# in real time: CPU time of the whole process (layer I/O thread, callback
# thread, device) and allocations counted while streaming steadily.
#   bench_wavedev [seconds per phase, default 60]
add_executable(bench_wavedev ${CMAKE_CURRENT_LIST_DIR}/bench_wavedev.cpp)
target_link_libraries(bench_wavedev PRIVATE orvant_wavedev)
# The allocation counter replaces operator new and delete by malloc and free.
# g++ 12 takes the free in the replaced delete for a mismatch with new (a false
# alarm); it stayed quiet only while Qt's flags made this target position-independent.
target_compile_options(bench_wavedev PRIVATE $<$<CXX_COMPILER_ID:GNU>:-Wno-mismatched-new-delete>)
