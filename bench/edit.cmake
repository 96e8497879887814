# Invert, ChangeVolume and Mix on 64 MiB images held in memory streams next
# to memcpy of the same number of bytes, in one run (medians of repetitions):
#   bench_edit --benchmark_repetitions=7 --benchmark_report_aggregates_only=true
add_executable(bench_edit ${CMAKE_CURRENT_LIST_DIR}/bench_edit.cpp)
target_link_libraries(bench_edit PRIVATE orvant_wave benchmark::benchmark)
