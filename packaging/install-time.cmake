# Run while installing (install(CODE) of install.cmake), with the prefix of this installation in
# CMAKE_INSTALL_PREFIX: writes what names installed paths. Files go through file(INSTALL), which
# honours DESTDIR and lists them in install_manifest.txt; the links are listed the same way.

set(prefix "${CMAKE_INSTALL_PREFIX}")
set(program_dir "${prefix}/${ZELMUSB_INSTALL_PROGRAMDIR}")
set(bin_dir "${prefix}/${ZELMUSB_INSTALL_BINDIR}")
set(unit_dir "${prefix}/${ZELMUSB_INSTALL_UNITDIR}")
# The settings of the system's own prefix live in /etc, as GNUInstallDirs places them; any other
# prefix keeps them below itself.
if(prefix STREQUAL "/usr")
  set(settings_dir "/etc/zelmarusb")
else()
  set(settings_dir "${prefix}/etc/zelmarusb")
endif()

function(zelmusb_link target name)
  get_filename_component(folder "$ENV{DESTDIR}${name}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  file(REMOVE "$ENV{DESTDIR}${name}")
  message(STATUS "Installing: $ENV{DESTDIR}${name} -> ${target}")
  file(CREATE_LINK "${target}" "$ENV{DESTDIR}${name}" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${name}")
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

# The program runs "sc.exe" beside itself for the temporary service of /gud:.
zelmusb_link(sc "${program_dir}/sc.exe")
file(RELATIVE_PATH to_program "${bin_dir}" "${program_dir}/zelmarusb")
zelmusb_link("${to_program}" "${bin_dir}/zelmarusb")

set(ZELMUSB_PROGRAM_DIR "${program_dir}")
set(ZELMUSB_SETTINGS_FILE "${settings_dir}/cfg.json")
# zelmusbctl --ask answers as the menu program, which the program finds by its name.
file(REMOVE "$ENV{DESTDIR}${program_dir}/halvarmenu.exe")
file(CREATE_LINK "$ENV{DESTDIR}${program_dir}/zelmusbctl" "$ENV{DESTDIR}${program_dir}/halvarmenu.exe")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "$ENV{DESTDIR}${program_dir}/halvarmenu.exe")
# zelmusbctl in the path speaks to the installed service's machine unless told otherwise.
set(ZELMUSB_INSTALL_DIR "${program_dir}")
configure_file("${ZELMUSB_CTL_WRAPPER}" "${ZELMUSB_WORK_DIR}/zelmusbctl" @ONLY)
file(INSTALL DESTINATION "${bin_dir}" TYPE PROGRAM FILES "${ZELMUSB_WORK_DIR}/zelmusbctl")

set(ZELMUSB_SETTINGS_DIR "${settings_dir}")
# The program's unit, and the suite's monitor and menu beside it.
foreach(unit zelmarusb zelmarusb-monitor zelmarusb-menu)
  configure_file("${ZELMUSB_PACKAGING_DIR}/${unit}.service.in" "${ZELMUSB_WORK_DIR}/${unit}.service" @ONLY)
  file(INSTALL DESTINATION "${unit_dir}" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${ZELMUSB_WORK_DIR}/${unit}.service")
endforeach()

# The administrator's settings are theirs once installed: a second installation keeps them.
if(EXISTS "$ENV{DESTDIR}${settings_dir}/cfg.json")
  message(STATUS "Kept: $ENV{DESTDIR}${settings_dir}/cfg.json")
else()
  file(INSTALL DESTINATION "${settings_dir}" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES "${ZELMUSB_PACKAGING_DIR}/cfg.json")
endif()
