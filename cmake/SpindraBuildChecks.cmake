# Checks that keep the build from dropping parts of itself, tests above all,
# without anybody noticing.
#
#   spindra_add_subdirectories(dir...)
#       Adds each folder; a listed folder without a CMakeLists.txt, or a folder
#       with one that is not listed, ends the configure.
#   spindra_require_targets(target...)
#       Ends the configure when one of the targets does not exist (renamed or
#       removed), instead of leaving out what depends on it.
#   spindra_check_link_items()
#       Called once at the end: every project-looking name that a target links
#       (spindra_*, spindra-*, fan-sim) must be a target, so that a renamed
#       library fails here and not later as "cannot find -lspindra_...".
#   spindra_record_tests()
#       Called once at the end: writes the names of all tests the build defines
#       to ${PROJECT_BINARY_DIR}/defined-tests.txt and compares them with the
#       checked-in list tests/expected_tests.txt; .ci/run fails when the two
#       differ or when ctest ran fewer tests than are defined
#       (scripts/check-test-count).

function(spindra_add_subdirectories)
  # A folder that has a CMakeLists.txt but is not on the list (a new one, or
  # one that came in with a merge) would never be built: say so.
  file(GLOB children LIST_DIRECTORIES true CONFIGURE_DEPENDS RELATIVE "${CMAKE_CURRENT_SOURCE_DIR}"
       "${CMAKE_CURRENT_SOURCE_DIR}/*")
  set(unlisted "")
  foreach(child ${children})
    if(IS_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/${child}"
       AND EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${child}/CMakeLists.txt")
      list(FIND ARGN "${child}" index)
      if(index EQUAL -1)
        list(APPEND unlisted "${child}")
      endif()
    endif()
  endforeach()
  if(unlisted)
    file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_LIST_FILE}")
    string(REPLACE ";" ", " names "${unlisted}")
    message(FATAL_ERROR "${rel} does not list the folder(s) ${names}, which have a "
                        "CMakeLists.txt: add them to its spindra_add_subdirectories(), or they "
                        "are never built.")
  endif()
  foreach(dir ${ARGN})
    if(NOT EXISTS "${CMAKE_CURRENT_SOURCE_DIR}/${dir}/CMakeLists.txt")
      file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_SOURCE_DIR}/${dir}")
      message(FATAL_ERROR "${rel}/CMakeLists.txt is missing: every folder listed in "
                          "${CMAKE_CURRENT_LIST_FILE} must build. Restore it, or take the folder off the list.")
    endif()
    add_subdirectory(${dir})
  endforeach()
endfunction()

function(spindra_require_targets)
  set(missing "")
  foreach(t ${ARGN})
    if(NOT TARGET ${t})
      list(APPEND missing ${t})
    endif()
  endforeach()
  if(missing)
    file(RELATIVE_PATH rel "${PROJECT_SOURCE_DIR}" "${CMAKE_CURRENT_LIST_FILE}")
    string(REPLACE ";" ", " names "${missing}")
    message(FATAL_ERROR "${rel} needs the target(s) ${names}, which no CMakeLists.txt defines "
                        "(renamed or removed?). Nothing is left out silently: fix the name here "
                        "or bring the target back.")
  endif()
endfunction()

# All build-system targets and all tests below a directory.
function(_spindra_walk dir out_targets out_tests)
  get_property(targets DIRECTORY "${dir}" PROPERTY BUILDSYSTEM_TARGETS)
  get_property(tests DIRECTORY "${dir}" PROPERTY TESTS)
  get_property(subdirs DIRECTORY "${dir}" PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    _spindra_walk("${sub}" sub_targets sub_tests)
    list(APPEND targets ${sub_targets})
    list(APPEND tests ${sub_tests})
  endforeach()
  set(${out_targets} "${targets}" PARENT_SCOPE)
  set(${out_tests} "${tests}" PARENT_SCOPE)
endfunction()

function(spindra_check_link_items)
  _spindra_walk("${PROJECT_SOURCE_DIR}" targets tests)
  set(bad "")
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    set(items "")
    if(NOT type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(own ${t} LINK_LIBRARIES)
      if(own)
        list(APPEND items ${own})
      endif()
    endif()
    get_target_property(iface ${t} INTERFACE_LINK_LIBRARIES)
    if(iface)
      list(APPEND items ${iface})
    endif()
    foreach(item ${items})
      # Strip $<LINK_ONLY:...>, the form static libraries pass private links on in.
      string(REGEX REPLACE "^\\$<LINK_ONLY:(.*)>$" "\\1" item "${item}")
      if(item MATCHES "^(spindra[_-]|fan-sim$)" AND NOT TARGET ${item})
        list(APPEND bad "${t} -> ${item}")
      endif()
    endforeach()
  endforeach()
  if(bad)
    list(REMOVE_DUPLICATES bad)
    string(REPLACE ";" "\n  " text "${bad}")
    message(FATAL_ERROR "Targets link names that are no target (renamed or removed?):\n  ${text}")
  endif()
endfunction()

function(spindra_record_tests)
  _spindra_walk("${PROJECT_SOURCE_DIR}" targets defined)
  list(SORT defined)
  string(REPLACE ";" "\n" text "${defined}")
  file(WRITE "${PROJECT_BINARY_DIR}/defined-tests.txt" "${text}\n")

  set(list_file "${PROJECT_SOURCE_DIR}/tests/expected_tests.txt")
  if(NOT EXISTS "${list_file}")
    message(FATAL_ERROR "tests/expected_tests.txt is missing: it names every test the suite must run.")
  endif()
  file(STRINGS "${list_file}" lines)
  set(expected "")
  foreach(line ${lines})
    string(STRIP "${line}" line)
    if(line AND NOT line MATCHES "^#")
      list(APPEND expected "${line}")
    endif()
  endforeach()
  # The libFuzzer build names the corpus runs fuzz_<name>, not fuzz_replay_<name>.
  if(SPINDRA_FUZZ)
    list(FILTER expected EXCLUDE REGEX "^fuzz_")
    list(FILTER defined EXCLUDE REGEX "^fuzz_")
  endif()
  set(missing ${expected})
  list(REMOVE_ITEM missing ${defined})
  set(unlisted ${defined})
  list(REMOVE_ITEM unlisted ${expected})
  if(missing)
    string(REPLACE ";" " " names "${missing}")
    message(WARNING "Tests named in tests/expected_tests.txt that the build does not define "
                    "(renamed, removed or left out?): ${names}. CI fails until they are back "
                    "or taken off the list.")
  endif()
  if(unlisted)
    string(REPLACE ";" " " names "${unlisted}")
    message(WARNING "Tests missing from tests/expected_tests.txt: ${names}. Add them, so that "
                    "their loss would be noticed; CI fails until then.")
  endif()
endfunction()
