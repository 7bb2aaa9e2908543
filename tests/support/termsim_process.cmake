# latchwise_termsim_process: starts the real termsim binary for socket tests
# (TermsimProcess.h). Included from tests/CMakeLists.txt.
if(TARGET termsim)
  add_library(latchwise_termsim_process STATIC
    ${CMAKE_CURRENT_LIST_DIR}/TermsimProcess.cpp ${CMAKE_CURRENT_LIST_DIR}/TermsimProcess.h)
  target_include_directories(latchwise_termsim_process PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_compile_definitions(latchwise_termsim_process PRIVATE TERMSIM_PATH="$<TARGET_FILE:termsim>")
  target_link_libraries(latchwise_termsim_process PUBLIC latchwise_cfg latchwise_common nlohmann_json::nlohmann_json)
  # Tests that use it need the binary built first.
  add_dependencies(latchwise_termsim_process termsim)
endif()

# latchwise_child_process: runs a program of ours with its output captured.
add_library(latchwise_child_process STATIC
  ${CMAKE_CURRENT_LIST_DIR}/ChildProcess.cpp ${CMAKE_CURRENT_LIST_DIR}/ChildProcess.h)
target_include_directories(latchwise_child_process PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(latchwise_child_process PUBLIC latchwise_cfg)
