# Builds llama.cpp and ggml (CPU backend only) as static, position-independent
# libraries from the git bundle shipped inside the pinned npm package
# node-llama-cpp (llama/gitRelease.bundle). The bundle is cloned into the build tree
# at configure time, again only when its commit changes. Only the libraries the
# embedding path needs are built: no common library, tools, examples, tests or
# server, no CURL, no OpenMP. They are always optimised (-O2, no debug info) and
# never get the project's warning or sanitizer compile flags.
# Defines the target kolvex_llama (llama + ggml) and the variable KOLVEX_LLAMA_SOURCE_DIR.
# With KOLVEX_THIRD_PARTY_FROM, the libraries and sources of that tree are used
# (ThirdParty.cmake).
include_guard(GLOBAL)
include(ThirdParty)

if(NOT DEFINED KOLVEX_NODE_MODULES)
  set(KOLVEX_NODE_MODULES "${CMAKE_SOURCE_DIR}/third_party/node_modules")
endif()
set(_llama_bundle "${KOLVEX_NODE_MODULES}/node-llama-cpp/llama/gitRelease.bundle")
if(NOT EXISTS "${_llama_bundle}")
  message(FATAL_ERROR "llama.cpp bundle missing (${_llama_bundle}): run ./setup.sh (npm ci in third_party/)")
endif()
find_package(Git REQUIRED)

execute_process(COMMAND "${GIT_EXECUTABLE}" bundle list-heads "${_llama_bundle}"
  OUTPUT_VARIABLE _llama_heads RESULT_VARIABLE _llama_rc ERROR_VARIABLE _llama_err)
if(NOT _llama_rc EQUAL 0 OR NOT _llama_heads MATCHES "^([0-9a-f]+) ")
  message(FATAL_ERROR "cannot read the llama.cpp bundle ${_llama_bundle}: ${_llama_err}")
endif()
set(_llama_commit "${CMAKE_MATCH_1}")

if(KOLVEX_THIRD_PARTY_FROM)
  set(KOLVEX_LLAMA_SOURCE_DIR "${KOLVEX_THIRD_PARTY_FROM}/_deps/llama.cpp")
  kolvex_read_stamp(_llama_have "${KOLVEX_THIRD_PARTY_FROM}/_deps/llama.cpp.commit")
  if(NOT _llama_have STREQUAL _llama_commit)
    message(FATAL_ERROR "KOLVEX_THIRD_PARTY_FROM has no llama.cpp ${_llama_commit} (the bundle's): configure and build that tree first")
  endif()
  kolvex_import_third_party(llama)
else()
  set(KOLVEX_LLAMA_SOURCE_DIR "${CMAKE_BINARY_DIR}/_deps/llama.cpp")
  set(_llama_stamp "${CMAKE_BINARY_DIR}/_deps/llama.cpp.commit")
  set(_llama_have "")
  if(EXISTS "${KOLVEX_LLAMA_SOURCE_DIR}/CMakeLists.txt")
    kolvex_read_stamp(_llama_have "${_llama_stamp}")
  endif()
  if(NOT _llama_have STREQUAL _llama_commit)
    message(STATUS "Unpacking llama.cpp ${_llama_commit} from ${_llama_bundle}")
    file(REMOVE_RECURSE "${KOLVEX_LLAMA_SOURCE_DIR}")
    execute_process(
      COMMAND "${GIT_EXECUTABLE}" -c advice.detachedHead=false clone --quiet
              "${_llama_bundle}" "${KOLVEX_LLAMA_SOURCE_DIR}"
      RESULT_VARIABLE _llama_rc ERROR_VARIABLE _llama_err)
    if(NOT _llama_rc EQUAL 0)
      message(FATAL_ERROR "cloning the llama.cpp bundle failed: ${_llama_err}")
    endif()
    file(WRITE "${_llama_stamp}" "${_llama_commit}")
  endif()

  block()
    set(BUILD_SHARED_LIBS OFF)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    set(LLAMA_BUILD_COMMON OFF)
    set(LLAMA_BUILD_TESTS OFF)
    set(LLAMA_BUILD_TOOLS OFF)
    set(LLAMA_BUILD_EXAMPLES OFF)
    set(LLAMA_BUILD_SERVER OFF)
    set(LLAMA_BUILD_APP OFF)
    set(LLAMA_BUILD_MTMD OFF)
    set(LLAMA_CURL OFF)
    set(LLAMA_OPENSSL OFF)
    set(LLAMA_ALL_WARNINGS OFF)
    set(LLAMA_FATAL_WARNINGS OFF)
    set(GGML_OPENMP OFF)
    set(GGML_CCACHE OFF)
    set(GGML_BACKEND_DL OFF)
    set(GGML_ALL_WARNINGS OFF)
    set(GGML_BUILD_TESTS OFF)
    set(GGML_BUILD_EXAMPLES OFF)
    # Optimised even in Debug and sanitizer builds: inference at -O0 is far too slow.
    set(CMAKE_C_FLAGS_DEBUG "-O2")
    set(CMAKE_CXX_FLAGS_DEBUG "-O2")
    set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG")
    set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")
    set(CMAKE_C_FLAGS "${CMAKE_C_FLAGS} -w")
    set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} -w")
    add_subdirectory("${KOLVEX_LLAMA_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_deps/llama.cpp-build"
      EXCLUDE_FROM_ALL SYSTEM)
  endblock()
  kolvex_export_third_party(llama llama ggml ggml-base ggml-cpu)
endif()
# Read by the build info: the embedding runtime's identity.
set(KOLVEX_LLAMA_COMMIT "${_llama_commit}" CACHE INTERNAL "commit of the bundled llama.cpp")

add_library(kolvex_llama INTERFACE)
target_link_libraries(kolvex_llama INTERFACE llama ggml)
