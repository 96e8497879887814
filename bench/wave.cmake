# Peak level and silence fill over 64 MiB of 16-bit stereo next to memcpy of
# the same bytes, and reading a 64 MiB WAV file through the wave stream
# adapter in 1-second blocks next to plain reads of the same file:
#   bench_wave --benchmark_repetitions=15 --benchmark_enable_random_interleaving=true \
#              --benchmark_report_aggregates_only=true
add_executable(bench_wave ${CMAKE_CURRENT_LIST_DIR}/bench_wave.cpp)
target_link_libraries(bench_wave PRIVATE orvant_wave benchmark::benchmark)
