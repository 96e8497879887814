# The collection server (one run, medians of interleaved rounds):
#   bench_collect: one 200 MB archive of speech-like takes received, verified
#     and stored by orvant-collect next to the wire (curl --data-binary into
#     the test server's sink) and a bare zlib inflate; then 32 concurrent
#     uploads of 20 MB (throughput, the server's peak RSS, the time to answer
#     a small upload meanwhile) against orvant-collect and the Python test
#     server. Data cached in the build folder's bench-collect/.
add_executable(bench_collect ${CMAKE_CURRENT_LIST_DIR}/bench_collect.cpp ${CMAKE_CURRENT_LIST_DIR}/bench_upload_common.cpp
                             ${CMAKE_SOURCE_DIR}/tests/collect/CollectServerProcess.cpp)
target_link_libraries(bench_collect PRIVATE orvant_collect orvant_upload_testsupport ZLIB::ZLIB)
target_compile_definitions(bench_collect PRIVATE ORVANT_BINARY_DIR="${CMAKE_BINARY_DIR}"
                           ORVANT_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ORVANT_COLLECT_BINARY="$<TARGET_FILE:orvant-collect>")
add_dependencies(bench_collect orvant-collect)
