# One CTest per fuzz target that has a seed corpus: replay_<name> runs every file of
# fuzz/corpus/<name>/ through fuzz/fuzz_<name>.cpp's entry point, compiled into a
# plain driver (fuzz/replay_main.cpp), so every build replays the corpora without
# libFuzzer. Call it from a tests folder, after prismara_add_test() is defined.
function(prismara_add_corpus_replays)
  file(GLOB targets CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
  foreach(source ${targets})
    get_filename_component(stem ${source} NAME_WE)
    string(REGEX REPLACE "^fuzz_" "" name ${stem})
    set(corpus ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
    if(IS_DIRECTORY ${corpus})
      prismara_add_test(replay_${name} SOURCES ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp ${source} CORE)
      target_compile_definitions(replay_${name} PRIVATE PRISMARA_REPLAY_CORPUS="${corpus}")
    endif()
  endforeach()
endfunction()
