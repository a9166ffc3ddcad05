# Writes OUTPUT from version_info.cpp.in with VERSION and the git commit of SOURCE_DIR. Runs at
# every build, so the commit is never that of an older configure; configure_file leaves OUTPUT
# untouched when nothing changed, so nothing is recompiled then.
set(VORN_VERSION "${VERSION}")
set(VORN_COMMIT "")
if(GIT_EXECUTABLE AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND commit)
    set(VORN_COMMIT "${commit}")
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes RESULT_VARIABLE failed ERROR_QUIET)
    if(NOT failed AND changes)
      string(APPEND VORN_COMMIT ", modified")
    endif()
  endif()
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/version_info.cpp.in" "${OUTPUT}" @ONLY)
