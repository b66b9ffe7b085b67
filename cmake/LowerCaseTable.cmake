# The lower-case mapping is generated from the Unicode Character Database that Debian ships
# (package unicode-data), so both platforms use the same mapping and nobody types a table by hand.
# Field 13 of UnicodeData.txt is the simple lower-case mapping; only BMP code points are kept,
# since the program maps UTF-16 code units.
find_file(ZELMUSB_UNICODE_DATA UnicodeData.txt PATHS /usr/share/unicode /usr/share/unicode-data NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT ZELMUSB_UNICODE_DATA)
  message(FATAL_ERROR "UnicodeData.txt not found: install the Debian package unicode-data")
endif()
set(ZELMUSB_LOWERCASE_TABLE ${CMAKE_CURRENT_BINARY_DIR}/generated/text/lowercase_table.inc)
add_custom_command(
  OUTPUT ${ZELMUSB_LOWERCASE_TABLE}
  COMMAND ${CMAKE_COMMAND} -DINPUT=${ZELMUSB_UNICODE_DATA} -DOUTPUT=${ZELMUSB_LOWERCASE_TABLE}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/cmake/GenerateLowerCase.cmake
  DEPENDS ${ZELMUSB_UNICODE_DATA} ${CMAKE_CURRENT_SOURCE_DIR}/cmake/GenerateLowerCase.cmake
  COMMENT "Generating the lower-case table from ${ZELMUSB_UNICODE_DATA}")
set_source_files_properties(${ZELMUSB_LOWERCASE_TABLE} PROPERTIES HEADER_FILE_ONLY TRUE)
