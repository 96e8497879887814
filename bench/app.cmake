# Start-up of the main window on a 10,000-phrase catalogue next to a bare
# parse of the same file: build/bench/bench_app_startup [repetitions]
if(TARGET orvant_app)
  add_executable(bench_app_startup ${CMAKE_CURRENT_SOURCE_DIR}/app_startup.cpp)
  target_link_libraries(bench_app_startup PRIVATE orvant_app)
endif()
