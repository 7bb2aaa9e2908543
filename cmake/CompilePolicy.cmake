# One place for compile policy: every target links latchwise_cfg.
add_library(latchwise_cfg INTERFACE)
target_compile_features(latchwise_cfg INTERFACE cxx_std_20)
target_compile_options(latchwise_cfg INTERFACE
  -Wall -Wextra -Wpedantic -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual)
if(LATCHWISE_WERROR)
  target_compile_options(latchwise_cfg INTERFACE -Werror)
endif()
# GCC 12 reports impossible overlaps in std::string concatenation at -O2
# (-Wrestrict inside libstdc++'s char_traits); keep the warning, not the error.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(latchwise_cfg INTERFACE -Wno-error=restrict)
endif()
target_compile_definitions(latchwise_cfg INTERFACE
  QT_NO_CAST_FROM_ASCII QT_NO_CONTEXTLESS_CONNECT ASIO_STANDALONE ASIO_NO_DEPRECATED)

if(LATCHWISE_SANITIZE)
  # Applied globally so that every object, test and loadable library agrees on
  # the sanitizer runtime.
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
