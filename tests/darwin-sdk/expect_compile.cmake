# cmake -DCOMPILER=... -DFLAGS=<response file> -DSOURCE=misuse.cpp -DCASE=<n> [-DEXPECT=<regex>]
#   -P expect_compile.cmake
# Case 0 must compile. Any other case must be rejected by an error that names EXPECT.
execute_process(
  COMMAND ${COMPILER} @${FLAGS} -fsyntax-only -DMISUSE=${CASE} ${SOURCE}
  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(CASE EQUAL 0)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "the correct uses in ${SOURCE} do not compile:\n${output}")
  endif()
  return()
endif()
if(result EQUAL 0)
  message(FATAL_ERROR
    "misuse ${CASE} in ${SOURCE} compiled: the declaration headers no longer reject it")
endif()
if(NOT output MATCHES "error" OR NOT output MATCHES "${EXPECT}")
  message(FATAL_ERROR
    "misuse ${CASE} was rejected, but not for the expected type (${EXPECT}):\n${output}")
endif()
message(STATUS "misuse ${CASE} rejected as expected:\n${output}")
