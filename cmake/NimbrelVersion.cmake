# The version line carries the short commit id of the checkout; outside git it is 00000000.
set(NIMBREL_COMMIT "00000000")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${PROJECT_SOURCE_DIR}/.git")
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --short=8 HEAD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    OUTPUT_VARIABLE _commit OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE _rc ERROR_QUIET)
  if(_rc EQUAL 0 AND _commit MATCHES "^[0-9a-f]+$")
    string(SUBSTRING "${_commit}" 0 8 NIMBREL_COMMIT)
  endif()
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/NimbrelVersion.h.in ${PROJECT_BINARY_DIR}/generated/NimbrelVersion.h @ONLY)
