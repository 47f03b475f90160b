# Warnings and sanitizers for the project's own code (never for third-party C).
add_library(kolvex_options INTERFACE)
target_compile_options(kolvex_options INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wno-missing-field-initializers>
  # g++ 12 reports impossible overlaps inside std::string concatenation at -O2
  # (a known false positive of its -Wrestrict); the warning says nothing of our code.
  $<$<AND:$<COMPILE_LANGUAGE:CXX>,$<CXX_COMPILER_ID:GNU>>:-Wno-restrict>)
target_include_directories(kolvex_options INTERFACE "${CMAKE_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/generated")
# Programs record only the shared libraries they use: the project's own
# libraries are static archives, so a program that never reaches the Zoekt
# client (say) does not load libcurl and its dependencies at start-up.
target_link_options(kolvex_options INTERFACE "LINKER:--as-needed")

# Clang's check of the locking annotations (core/thread_annotations.h): a member
# touched without its mutex, or a REQUIRES function called without it, fails
# the build. GCC ignores the annotations; configure a Clang tree to check them.
option(KOLVEX_THREAD_SAFETY_ANALYSIS "Check the thread-safety annotations (Clang only)" OFF)
if(KOLVEX_THREAD_SAFETY_ANALYSIS)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "KOLVEX_THREAD_SAFETY_ANALYSIS needs Clang (CMAKE_CXX_COMPILER=clang++)")
  endif()
  target_compile_options(kolvex_options INTERFACE
    $<$<COMPILE_LANGUAGE:CXX>:-Wthread-safety -Werror=thread-safety>)
endif()

if(KOLVEX_SANITIZE)
  set(_san "-fsanitize=${KOLVEX_SANITIZE}")
  target_compile_options(kolvex_options INTERFACE ${_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(kolvex_options INTERFACE ${_san})
  # Executables and shared libraries are linked with the sanitizer runtime too.
  add_link_options(${_san})
endif()
