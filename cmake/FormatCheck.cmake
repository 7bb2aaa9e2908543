# A test that fails when a tracked C++ source is not formatted by .clang-format.
find_program(CLANG_FORMAT_EXECUTABLE NAMES clang-format clang-format-14)
if(CLANG_FORMAT_EXECUTABLE)
  file(GLOB_RECURSE format_sources CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/app/*.cpp ${PROJECT_SOURCE_DIR}/app/*.h
    ${PROJECT_SOURCE_DIR}/terminal/*.cpp ${PROJECT_SOURCE_DIR}/terminal/*.h
    ${PROJECT_SOURCE_DIR}/termlink/*.cpp ${PROJECT_SOURCE_DIR}/termlink/*.h
    ${PROJECT_SOURCE_DIR}/protocol/*.cpp ${PROJECT_SOURCE_DIR}/protocol/*.h
    ${PROJECT_SOURCE_DIR}/schedule/*.cpp ${PROJECT_SOURCE_DIR}/schedule/*.h
    ${PROJECT_SOURCE_DIR}/settings/*.cpp ${PROJECT_SOURCE_DIR}/settings/*.h
    ${PROJECT_SOURCE_DIR}/termsim/*.cpp ${PROJECT_SOURCE_DIR}/termsim/*.h
    ${PROJECT_SOURCE_DIR}/bench/*.cpp ${PROJECT_SOURCE_DIR}/fuzz/*.cpp
    ${PROJECT_SOURCE_DIR}/tests/*.cpp ${PROJECT_SOURCE_DIR}/tests/*.h)
  add_test(NAME format_check COMMAND ${CLANG_FORMAT_EXECUTABLE} --dry-run --Werror ${format_sources})
endif()
