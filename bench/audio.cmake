# The device engine recording and playing Stereo16bit22050Hz in real time on
# the simulated device: CPU time of the process and of the thread that handles
# the device messages, and allocations during steady streaming.
#   bench/bench_engine [seconds] [all]
add_executable(bench_engine ${CMAKE_CURRENT_LIST_DIR}/bench_engine.cpp)
target_link_libraries(bench_engine PRIVATE orvant_audio)
