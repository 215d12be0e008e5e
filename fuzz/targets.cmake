# Fuzz targets that read formats built on Qt Core, and the one product source each
# compiles in; every other fuzz_<name>.cpp needs prismara_core alone. A Qt-based
# target needs Qt 5 Core only (no prismara library), so a core-only build on Linux
# builds it as well; where Qt is not found, as in the Windows cross build, it and
# its replay are left out.
set(PRISMARA_FUZZ_QT_SOURCES_layout service/openapiformat.cpp)
set(PRISMARA_FUZZ_QT_SOURCES_ssdpreader service/ssdpreader.cpp)
set(PRISMARA_FUZZ_QT_SOURCES_activation app/activationmessage.cpp)
set(PRISMARA_FUZZ_QT_SOURCES_deviceanswers service/openapiformat.cpp)

if(NOT TARGET Qt5::Core)
  find_package(Qt5 5.15 QUIET COMPONENTS Core)
endif()

# prismara_fuzz_needs(name result): result is "core" for a Qt-free target, "qt" for
# a Qt-based one when Qt Core is at hand, "none" when it is not.
function(prismara_fuzz_needs name result)
  if(NOT DEFINED PRISMARA_FUZZ_QT_SOURCES_${name})
    set(${result} core PARENT_SCOPE)
  elseif(TARGET Qt5::Core)
    set(${result} qt PARENT_SCOPE)
  else()
    set(${result} none PARENT_SCOPE)
  endif()
endfunction()

# prismara_fuzz_add_qt(target name): compiles the product source of fuzz target
# <name> into <target> and links Qt Core.
function(prismara_fuzz_add_qt target name)
  foreach(source ${PRISMARA_FUZZ_QT_SOURCES_${name}})
    target_sources(${target} PRIVATE ${CMAKE_SOURCE_DIR}/${source})
  endforeach()
  target_link_libraries(${target} PRIVATE Qt5::Core)
endfunction()
