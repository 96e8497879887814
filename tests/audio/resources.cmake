# The small WAVE resource the resource-stream and player tests play, compiled
# into test_audio by name and, the same bytes, by number.
orvant_add_wave_resources(test_audio
  NAME CHIME ${CMAKE_CURRENT_SOURCE_DIR}/data/chime.wav
  ID 101 ${CMAKE_CURRENT_SOURCE_DIR}/data/chime.wav)
