# Every library globs its own folder, so adding a file needs no edit here.

function(quintor_glob_sources out dir)
  file(GLOB_RECURSE srcs CONFIGURE_DEPENDS
       ${CMAKE_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_SOURCE_DIR}/${dir}/*.c)
  set(${out} ${srcs} PARENT_SCOPE)
endfunction()

# Platform/<Name> -> object library Platform<Name>. Object files are linked only into targets
# that name the library directly, so MovaraKit (and each platform test) names every platform
# library it needs once and each process-wide object of the platform exists exactly once.
# PLATFORM lists the areas this one builds on.
function(quintor_platform_library name)
  cmake_parse_arguments(A "" "" "PLATFORM;PUBLIC;PRIVATE" ${ARGN})
  quintor_glob_sources(srcs Platform/${name})
  set(target Platform${name})
  list(TRANSFORM A_PLATFORM PREPEND Platform)
  if(srcs)
    add_library(${target} OBJECT ${srcs})
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} PUBLIC ${A_PLATFORM} ${A_PUBLIC} PRIVATE ${A_PRIVATE})
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR})
    target_link_libraries(${target} INTERFACE ${A_PLATFORM} ${A_PUBLIC})
  endif()
endfunction()

# A deliverable shared library. The platform's objects go into MovaraKit only.
function(quintor_shared_library name)
  cmake_parse_arguments(A "" "DIR" "PUBLIC;PRIVATE;PLATFORM" ${ARGN})
  quintor_glob_sources(srcs ${A_DIR})
  if(NOT srcs)
    set(stub ${CMAKE_BINARY_DIR}/generated/${name}_stub.cpp)
    file(WRITE ${stub} "// ${name} has no sources yet.\n")
    set(srcs ${stub})
  endif()
  add_library(${name} SHARED ${srcs})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR})
  foreach(p ${A_PLATFORM})
    target_link_libraries(${name} PRIVATE ${p})
    # Consumers see the platform's headers (and what they include) but link its code
    # through this library.
    target_include_directories(${name} SYSTEM PUBLIC $<TARGET_PROPERTY:${p},INTERFACE_INCLUDE_DIRECTORIES>)
    target_compile_definitions(${name} PUBLIC $<TARGET_PROPERTY:${p},INTERFACE_COMPILE_DEFINITIONS>)
  endforeach()
  target_link_libraries(${name} PUBLIC ${A_PUBLIC} PRIVATE ${A_PRIVATE})
  # The library's resources in the source tree, used when none are installed beside it.
  target_compile_definitions(${name} PRIVATE QUINTOR_RESOURCES_DIR="${CMAKE_SOURCE_DIR}/${A_DIR}/Resources")
endfunction()

# The application: everything but main.cpp is the static library <Dir>Core, which the tests
# link as well.
function(quintor_executable name)
  cmake_parse_arguments(A "" "DIR" "DEPS" ${ARGN})
  quintor_glob_sources(srcs ${A_DIR})
  list(FILTER srcs EXCLUDE REGEX "/${A_DIR}/main\\.cpp$")
  if(NOT srcs)
    set(stub ${CMAKE_BINARY_DIR}/generated/${A_DIR}Core_stub.cpp)
    file(WRITE ${stub} "// ${A_DIR} has no sources beside main.cpp yet.\n")
    set(srcs ${stub})
  endif()
  add_library(${A_DIR}Core STATIC ${srcs})
  target_include_directories(${A_DIR}Core PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(${A_DIR}Core PUBLIC ${A_DEPS})
  target_compile_definitions(${A_DIR}Core PUBLIC QUINTOR_VERSION="${PROJECT_VERSION}")
  # Whole-archive: classes that register themselves by name (the configuration object) are
  # referenced by nothing else and would otherwise be dropped by the linker.
  add_executable(${name} ${CMAKE_SOURCE_DIR}/${A_DIR}/main.cpp)
  target_link_libraries(${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${A_DIR}Core>")
endfunction()
