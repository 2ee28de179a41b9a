# Empties the tests' scratch root ROOT (cmake -DROOT=... [-DCREATE=ON] -P
# ScratchRoot.cmake): before the tests, with CREATE, to leave an empty root;
# after them, to remove it with whatever a test killed at its time limit left.
if(NOT ROOT)
  message(FATAL_ERROR "ROOT names no directory")
endif()
file(GLOB left_behind LIST_DIRECTORIES true "${ROOT}/*")
if(left_behind)
  message(STATUS "removing scratch left behind: ${left_behind}")
endif()
file(REMOVE_RECURSE "${ROOT}")
if(CREATE)
  file(MAKE_DIRECTORY "${ROOT}")
endif()
