# ConvertToPCM from Stereo16bit44100Hz to Mono16bit22050Hz on a long file next
# to sox doing the same conversion of the same file, with peak memory:
#   bench/bench_convert [minutes] [repetitions]
add_executable(bench_convert ${CMAKE_CURRENT_LIST_DIR}/bench_convert.cpp)
target_link_libraries(bench_convert PRIVATE orvant_wave)
