# The fuzz targets replayed over their seed folders (fuzz/corpus/<target>), which also hold every
# input that once broke a property: the sanitizers of this build see each of them on every run.
foreach(target decompress stream_decoder item_path package update_section profile list join_path decimal setup embed)
  add_executable(fuzz_replay_${target} ${CMAKE_SOURCE_DIR}/fuzz/${target}_fuzzer.cpp fuzz_replay.cpp)
  target_link_libraries(fuzz_replay_${target} PRIVATE updpacker)
  add_test(NAME fuzz_replay.${target}
           COMMAND fuzz_replay_${target} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${target})
endforeach()
