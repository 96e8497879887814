# Start-up of the main window on a 10,000-phrase catalogue next to a bare
# parse of the same file, and the check of existing takes after it:
#   build/bench/bench_app_startup [repetitions] [takes]
# The level meter's refresh rate while the window records from the default
# sound device: build/bench/bench_app_meter [seconds] (see program_recording.py)
if(TARGET orvant_app)
  add_executable(bench_app_startup ${CMAKE_CURRENT_SOURCE_DIR}/app_startup.cpp)
  target_link_libraries(bench_app_startup PRIVATE orvant_app)
  add_executable(bench_app_meter ${CMAKE_CURRENT_SOURCE_DIR}/app_meter.cpp)
  target_link_libraries(bench_app_meter PRIVATE orvant_app)
endif()
