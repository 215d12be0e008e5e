# One CTest per fuzz target that has a seed corpus: replay_<name> runs every file of
# fuzz/corpus/<name>/ through fuzz/fuzz_<name>.cpp's entry point, compiled into a
# plain driver (fuzz/replay_main.cpp), so normal and sanitizer builds replay the
# corpora without libFuzzer. Call prismara_add_corpus_replays() from a tests folder,
# after tests/CMakeLists.txt has defined prismara_add_test(). A target that needs Qt
# Core (fuzz/targets.cmake) is replayed only where Qt Core is found.
include(${CMAKE_CURRENT_LIST_DIR}/targets.cmake)

function(prismara_add_corpus_replays)
  file(GLOB targets CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
  foreach(source ${targets})
    get_filename_component(stem ${source} NAME_WE)
    string(REGEX REPLACE "^fuzz_" "" name ${stem})
    set(corpus ${CMAKE_SOURCE_DIR}/fuzz/corpus/${name})
    prismara_fuzz_needs(${name} needs)
    if(IS_DIRECTORY ${corpus} AND NOT needs STREQUAL "none")
      prismara_add_test(replay_${name} SOURCES ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp ${source} CORE)
      target_compile_definitions(replay_${name} PRIVATE PRISMARA_REPLAY_CORPUS="${corpus}")
      if(needs STREQUAL "qt")
        prismara_fuzz_add_qt(replay_${name} ${name})
      endif()
    endif()
  endforeach()
endfunction()
