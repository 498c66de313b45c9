# Chooses the HID library that kavelwrite is built against and sets KAVELWRITE_HIDAPI_TARGET.
#
# Empty KAVELWRITE_HIDAPI_DIR (the default): the project's own libkavelhidapi, which serves
# virtual keyboards read from a simulation file, is built as the target `kavelhidapi`.
#
# KAVELWRITE_HIDAPI_DIR set to a folder holding the keyboard maker's kavelhidapi.h and
# libkavelhidapi.so: the program is compiled against that header and linked to that library,
# imported as `kavelhidapi::maker`; the stand-in is not built, so there is no `kavelhidapi`
# target; KAVELWRITE_HIDAPI_LIBRARY_DIR is that folder.

if(KAVELWRITE_HIDAPI_DIR)
  get_filename_component(_kavelhidapi_dir "${KAVELWRITE_HIDAPI_DIR}" ABSOLUTE)
  set(_kavelhidapi_header "${_kavelhidapi_dir}/kavelhidapi.h")
  set(_kavelhidapi_library "${_kavelhidapi_dir}/libkavelhidapi.so")
  if(NOT EXISTS "${_kavelhidapi_header}")
    message(FATAL_ERROR "KAVELWRITE_HIDAPI_DIR: no kavelhidapi.h in ${_kavelhidapi_dir}")
  endif()
  if(NOT EXISTS "${_kavelhidapi_library}")
    message(FATAL_ERROR "KAVELWRITE_HIDAPI_DIR: no libkavelhidapi.so in ${_kavelhidapi_dir}")
  endif()

  add_library(kavelhidapi::maker SHARED IMPORTED)
  set_target_properties(kavelhidapi::maker PROPERTIES
    IMPORTED_LOCATION "${_kavelhidapi_library}"
    INTERFACE_INCLUDE_DIRECTORIES "${_kavelhidapi_dir}")

  # The program must ask the loader for the library by its SONAME, not by the path it was linked
  # from. A library without one is linked by name (-lkavelhidapi) so that no build path is
  # recorded in the program.
  set(_kavelhidapi_soname "")
  if(CMAKE_OBJDUMP)
    execute_process(COMMAND "${CMAKE_OBJDUMP}" -p "${_kavelhidapi_library}"
      OUTPUT_VARIABLE _kavelhidapi_headers ERROR_QUIET RESULT_VARIABLE _kavelhidapi_objdump)
    if(_kavelhidapi_objdump EQUAL 0 AND _kavelhidapi_headers MATCHES "SONAME[ \t]+([^ \t\r\n]+)")
      set(_kavelhidapi_soname "${CMAKE_MATCH_1}")
    endif()
  endif()
  if(_kavelhidapi_soname)
    set_target_properties(kavelhidapi::maker PROPERTIES IMPORTED_SONAME "${_kavelhidapi_soname}")
  else()
    set_target_properties(kavelhidapi::maker PROPERTIES IMPORTED_NO_SONAME TRUE)
  endif()

  set(KAVELWRITE_HIDAPI_TARGET kavelhidapi::maker)
  set(KAVELWRITE_HIDAPI_LIBRARY_DIR "${_kavelhidapi_dir}")
  message(STATUS "HID library: the maker's, from ${_kavelhidapi_dir}"
                 " (SONAME: ${_kavelhidapi_soname}); the virtual keyboard stand-in is not built")
else()
  # The stand-in for the keyboard maker's HID library: virtual keyboards read from a simulation
  # file; its model and the recording format are libraries of their own (kavelvk_model,
  # kavel_recording), linked in.
  file(GLOB KAVELHIDAPI_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/libkavelhidapi/*.cpp)
  list(REMOVE_ITEM KAVELHIDAPI_SOURCES ${PROJECT_SOURCE_DIR}/libkavelhidapi/keyboard.cpp
    ${PROJECT_SOURCE_DIR}/libkavelhidapi/simulation.cpp ${PROJECT_SOURCE_DIR}/libkavelhidapi/numbers.cpp)
  add_library(kavelhidapi SHARED ${KAVELHIDAPI_SOURCES})
  target_include_directories(kavelhidapi PUBLIC ${PROJECT_SOURCE_DIR}/src/hid)
  target_link_libraries(kavelhidapi PRIVATE pugixml::pugixml kavelvk_model kavel_recording)
  set_target_properties(kavelhidapi PROPERTIES VERSION 1.0.0 SOVERSION 1)
  set(KAVELWRITE_HIDAPI_TARGET kavelhidapi)
endif()
