# The RFC 2217 protocol core: codec, line tracking, the client's session and the server's.
# Plain C++, no I/O and no Qt.
# Included by this folder's CMakeLists.txt and by the fuzz target's own project (fuzz/).
add_library(vantor_rfc2217_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/rfc2217codec.cpp ${CMAKE_CURRENT_LIST_DIR}/rfc2217codec.h
  ${CMAKE_CURRENT_LIST_DIR}/rfc2217lines.cpp ${CMAKE_CURRENT_LIST_DIR}/rfc2217lines.h
  ${CMAKE_CURRENT_LIST_DIR}/rfc2217protocol.h
  ${CMAKE_CURRENT_LIST_DIR}/rfc2217beat.cpp ${CMAKE_CURRENT_LIST_DIR}/rfc2217beat.h
  ${CMAKE_CURRENT_LIST_DIR}/rfc2217server.cpp ${CMAKE_CURRENT_LIST_DIR}/rfc2217server.h
  ${CMAKE_CURRENT_LIST_DIR}/rfc2217session.cpp ${CMAKE_CURRENT_LIST_DIR}/rfc2217session.h)
target_include_directories(vantor_rfc2217_core PUBLIC ${CMAKE_CURRENT_LIST_DIR}/../..)
set_target_properties(vantor_rfc2217_core PROPERTIES AUTOMOC OFF)
