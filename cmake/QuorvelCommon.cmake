# Settings every target of the project links through `quorvel_common`.
add_library(quorvel_common INTERFACE)
target_compile_features(quorvel_common INTERFACE cxx_std_17)
target_compile_options(quorvel_common INTERFACE -Wall -Wextra)
if(QUORVEL_WERROR)
  target_compile_options(quorvel_common INTERFACE -Werror)
endif()
target_compile_definitions(quorvel_common INTERFACE
  QT_DISABLE_DEPRECATED_BEFORE=0x050F00)

find_package(Threads REQUIRED)
target_link_libraries(quorvel_common INTERFACE Threads::Threads)

if(QUORVEL_SANITIZE)
  target_compile_options(quorvel_common INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(quorvel_common INTERFACE -fsanitize=address,undefined)
endif()
if(QUORVEL_TSAN)
  target_compile_options(quorvel_common INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(quorvel_common INTERFACE -fsanitize=thread)
endif()

# A test that skips part of itself has not shown that part works: CTest counts
# it as failed (a missing locale, for one, must be installed, not tolerated).
set(QUORVEL_SKIPPED_OUTPUT "\\[  SKIPPED \\]")

# One test executable per source file test_*.cpp in the calling folder,
# linking the given libraries. GUI-capable tests use quorvel_testmain. For a
# name P in PARTS, the files test_P.cpp and test_P_*.cpp make one executable.
function(quorvel_add_tests)
  cmake_parse_arguments(ARG "" "MAIN" "LIBS;ENV;PARTS" ${ARGN})
  file(GLOB _tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test_*.cpp)
  set(_names)
  foreach(_src IN LISTS _tests)
    get_filename_component(_name ${_src} NAME_WE)
    foreach(_part IN LISTS ARG_PARTS)
      if(_name MATCHES "^test_${_part}(_|$)")
        set(_name test_${_part})
      endif()
    endforeach()
    list(APPEND _names ${_name})
    list(APPEND _srcs_${_name} ${_src})
  endforeach()
  list(REMOVE_DUPLICATES _names)
  foreach(_name IN LISTS _names)
    get_filename_component(_folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
    set(_target ${_folder}_${_name})
    add_executable(${_target} ${_srcs_${_name}})
    target_link_libraries(${_target} PRIVATE ${ARG_LIBS} quorvel_common)
    if(ARG_MAIN)
      target_link_libraries(${_target} PRIVATE ${ARG_MAIN})
    else()
      target_link_libraries(${_target} PRIVATE GTest::gtest_main)
    endif()
    target_link_libraries(${_target} PRIVATE GTest::gtest GTest::gmock)
    add_test(NAME ${_target} COMMAND ${_target})
    set_tests_properties(${_target} PROPERTIES
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen;${ARG_ENV}"
      WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
      FAIL_REGULAR_EXPRESSION "${QUORVEL_SKIPPED_OUTPUT}"
      TIMEOUT 600)
  endforeach()
endfunction()

# A subsystem folder as one static library of every .cpp/.h/.ui file in it
# (sub-folders included, except those listed in EXCLUDE).
function(quorvel_folder_library name)
  cmake_parse_arguments(ARG "" "" "LIBS;EXCLUDE" ${ARGN})
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/*.h
    ${CMAKE_CURRENT_SOURCE_DIR}/*.ui ${CMAKE_CURRENT_SOURCE_DIR}/*.qrc)
  foreach(_ex IN LISTS ARG_EXCLUDE)
    list(FILTER _srcs EXCLUDE REGEX "^${CMAKE_CURRENT_SOURCE_DIR}/${_ex}/")
  endforeach()
  add_library(${name} STATIC ${_srcs})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE CXX)
  target_include_directories(${name} PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS} quorvel_common)
endfunction()
