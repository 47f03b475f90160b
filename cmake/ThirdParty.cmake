# Third-party code built once for several build trees of one checkout.
# A tree configured as usual builds the tree-sitter runtime, the grammar modules
# and llama.cpp itself and describes those targets in kolvex-<group>-targets.cmake
# at its top. A tree configured with KOLVEX_THIRD_PARTY_FROM=<that tree> builds
# none of them and links the ones that tree built: third-party code is compiled
# the same way in every tree (optimised, never instrumented), so the sanitizer
# trees of setup.sh take it from the Release tree. That tree must be built first.
include_guard(GLOBAL)

set(KOLVEX_THIRD_PARTY_FROM "" CACHE PATH
    "A built tree of this checkout whose tree-sitter runtime, grammar modules and llama.cpp are used instead of building them")

# The text of a stamp file that records what a third-party tree was made from;
# empty when there is none yet.
function(kolvex_read_stamp out file)
  set(text "")
  if(EXISTS "${file}")
    file(READ "${file}" text)
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Describes the targets of one group for trees that take them from this one.
function(kolvex_export_third_party group)
  export(TARGETS ${ARGN} FILE "${CMAKE_BINARY_DIR}/kolvex-${group}-targets.cmake")
endfunction()

# Defines the targets of one group, as built in KOLVEX_THIRD_PARTY_FROM, for the
# whole project.
function(kolvex_import_third_party group)
  set(file "${KOLVEX_THIRD_PARTY_FROM}/kolvex-${group}-targets.cmake")
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "KOLVEX_THIRD_PARTY_FROM: ${file} is missing; configure and build that tree first")
  endif()
  get_directory_property(before IMPORTED_TARGETS)
  include("${file}")
  get_directory_property(after IMPORTED_TARGETS)
  list(REMOVE_ITEM after ${before})
  set_target_properties(${after} PROPERTIES IMPORTED_GLOBAL TRUE)
endfunction()
