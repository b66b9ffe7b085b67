# cmake -DINPUT=UnicodeData.txt -DOUTPUT=table.inc -P GenerateLowerCase.cmake
# Writes "{0xUPPER, 0xLOWER}," pairs in ascending order of the upper code unit: field 0 is the code
# point, field 13 the simple lower-case mapping; only BMP code points with a BMP mapping are kept.
# (CMake's regular expressions have no {n} repetition: the twelve skipped fields are spelt out.)
set(hex4 "[0-9A-F][0-9A-F][0-9A-F][0-9A-F]")
set(field "[^;]*;")
set(pattern "^(${hex4});${field}${field}${field}${field}${field}${field}${field}${field}${field}${field}${field}${field}(${hex4});.*$")
file(STRINGS ${INPUT} lines REGEX "${pattern}")
set(out "// Generated from ${INPUT}; do not edit.\n")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "${pattern}" "{0x\\1, 0x\\2},\n" pair "${line}")
  string(APPEND out "${pair}")
endforeach()
file(WRITE ${OUTPUT}.tmp "${out}")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
