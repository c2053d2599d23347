# The include check finds every include that climbs with "..", at its line, and nothing else.
#   cmake -DWORK_DIR=<scratch folder> -P tests/cmake/test_include_check.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/include_check.cmake)

set(probe ${WORK_DIR}/include_check_probe/deep/probe.cpp)
file(REMOVE_RECURSE ${WORK_DIR}/include_check_probe)
# Lines 3, 4, 9, 10, 11 and 13 climb; the brackets, ";" and the continued line must not shift
# the count.
file(WRITE ${probe} [=[
#include "common/log.h"
#include "x..h"
#include "../up.h"
  #  include "dir/../up.h"
int table[3];  // ; [
#define TWO \
    2
// #include "../commented.h"
#include <../angle.h>
#include "dir\..\back.h"
#include "dir/.."
#include "dir/.../three_dots.h"
#include "..\up.h"
]=])
velda_climbing_includes_of(${probe} hits)
set(expected
    "${probe}:3: #include \"../up.h\""
    "${probe}:4: #  include \"dir/../up.h\""
    "${probe}:9: #include <../angle.h>"
    "${probe}:10: #include \"dir\\..\\back.h\""
    "${probe}:11: #include \"dir/..\""
    "${probe}:13: #include \"..\\up.h\"")
if(NOT hits STREQUAL expected)
    string(REPLACE ";" "\n  " hits "${hits}")
    message(FATAL_ERROR "climbing includes found:\n  ${hits}")
endif()

# A clean tree passes.
file(WRITE ${probe} "#include \"common/log.h\"\n")
velda_check_includes(${WORK_DIR}/include_check_probe)
file(REMOVE_RECURSE ${WORK_DIR}/include_check_probe)
