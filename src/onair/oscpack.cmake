# oscpack, the OSC parser: Debian's liboscpack-dev, or (OSCPACK_SOURCE_DIR set, as a Windows
# build does with Debian's source package) its osc/ sources compiled here. Only osc/ is used:
# the receiver has a socket of its own. Gives the target vantor_oscpack.
if(TARGET vantor_oscpack)
  return()
endif()
set(OSCPACK_SOURCE_DIR "" CACHE PATH "oscpack's source tree, to build it rather than use the system's")
if(OSCPACK_SOURCE_DIR)
  add_library(vantor_oscpack STATIC
    ${OSCPACK_SOURCE_DIR}/osc/OscTypes.cpp
    ${OSCPACK_SOURCE_DIR}/osc/OscReceivedElements.cpp
    ${OSCPACK_SOURCE_DIR}/osc/OscOutboundPacketStream.cpp)
  # Its files define file-local helpers of the same names: one translation unit each.
  set_target_properties(vantor_oscpack PROPERTIES AUTOMOC OFF UNITY_BUILD OFF)
  target_include_directories(vantor_oscpack SYSTEM PUBLIC ${OSCPACK_SOURCE_DIR})
  # oscpack's headers are included as <osc/...> from its tree, <oscpack/osc/...> from Debian's.
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/oscpack-include)
  file(CREATE_LINK ${OSCPACK_SOURCE_DIR} ${CMAKE_BINARY_DIR}/oscpack-include/oscpack SYMBOLIC)
  target_include_directories(vantor_oscpack SYSTEM PUBLIC ${CMAKE_BINARY_DIR}/oscpack-include)
else()
  find_path(OSCPACK_INCLUDE_DIR oscpack/osc/OscReceivedElements.h REQUIRED)
  find_library(OSCPACK_LIBRARY oscpack REQUIRED)
  add_library(vantor_oscpack INTERFACE)
  target_include_directories(vantor_oscpack SYSTEM INTERFACE ${OSCPACK_INCLUDE_DIR})
  target_link_libraries(vantor_oscpack INTERFACE ${OSCPACK_LIBRARY})
endif()
