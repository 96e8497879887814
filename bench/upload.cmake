# Voice archive and upload, each in one run (medians of interleaved rounds):
#   bench_upload_archive: building the archive of 200 takes of 10 s
#     Stereo16bit22050Hz speech (espeak-ng + sox, cached in the build folder)
#     on every processor and on one thread, next to a bare zlib level-9 loop
#     over the same files; peak memory of a build of one take next to one of
#     two 100 MB files and one of the 200 takes.
#   bench_upload_http: posting a 200 MB archive to the local collection
#     server next to `curl --data-binary` of the same file to the same
#     server; peak memory of posting 20 MB next to 200 MB.
add_executable(bench_upload_archive ${CMAKE_CURRENT_LIST_DIR}/bench_upload_archive.cpp
                                    ${CMAKE_CURRENT_LIST_DIR}/bench_upload_common.cpp)
target_link_libraries(bench_upload_archive PRIVATE orvant_upload ZLIB::ZLIB)
target_compile_definitions(bench_upload_archive PRIVATE ORVANT_BINARY_DIR="${CMAKE_BINARY_DIR}")

add_executable(bench_upload_http ${CMAKE_CURRENT_LIST_DIR}/bench_upload_http.cpp
                                 ${CMAKE_CURRENT_LIST_DIR}/bench_upload_common.cpp)
target_link_libraries(bench_upload_http PRIVATE orvant_upload orvant_upload_testsupport)
target_compile_definitions(bench_upload_http PRIVATE ORVANT_BINARY_DIR="${CMAKE_BINARY_DIR}")
