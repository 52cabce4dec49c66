# What `cmake --install` lays out, in two components: `board`, the programs
# and the daemon's service unit at the board's fixed paths, and `dev`, the
# library with its C headers and a pkg-config file for the mining program,
# under the prefix. Stage the board's tree with DESTDIR:
#
#   DESTDIR=/tmp/stage cmake --install build-board
#
# and the library alone anywhere with `--component dev --prefix DIR`.
include(GNUInstallDirs)

option(KMX_INSTALL_ONTO_ROOT
  "Let an install without DESTDIR put the programs into this machine's /bin and the unit into its /etc (the board's own image build)"
  OFF)

set(KMX_BOARD_PROGRAMS zel-monitor filemend zel_chip_type zel_test zel_fan stepctl boardcheck)

# The programs sit at fixed paths on the board whatever the prefix: the
# library runs "/bin/filemend 1" and the unit starts "/bin/zel-monitor 1".
# Without DESTDIR they would go into the running machine's own /bin and
# /etc, which on a build host is never meant: refused before anything is
# written, unless the build was configured for an install onto the root.
if(NOT KMX_INSTALL_ONTO_ROOT)
  install(CODE "
if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
  message(FATAL_ERROR \"refusing to install /bin/zel-monitor, the other programs and \"
    \"/etc/systemd/system/multi-user.target.wants/zel-monitor.service into this machine's root: \"
    \"their paths are fixed, whatever the prefix. Stage the board's tree with DESTDIR:\\n\"
    \"    DESTDIR=/tmp/stage cmake --install ${CMAKE_BINARY_DIR}\\n\"
    \"(the library alone: cmake --install ${CMAKE_BINARY_DIR} --component dev --prefix DIR; \"
    \"onto the running root: configure with -DKMX_INSTALL_ONTO_ROOT=ON)\")
endif()" COMPONENT board)
endif()

# Stripped: the board's flash is small. The programs in the build's bin/
# keep their debug information for a debugger.
if(NOT CMAKE_STRIP)
  message(FATAL_ERROR "no strip program found for the install")
endif()
install(TARGETS ${KMX_BOARD_PROGRAMS} RUNTIME DESTINATION /bin COMPONENT board)
foreach(p ${KMX_BOARD_PROGRAMS})
  install(CODE "execute_process(COMMAND \"${CMAKE_STRIP}\" \"\$ENV{DESTDIR}/bin/${p}\" COMMAND_ERROR_IS_FATAL ANY)"
    COMPONENT board)
endforeach()
# A regular file where the board keeps it (filemend compares it with its
# template, byte for byte).
install(FILES ${CMAKE_SOURCE_DIR}/zel-monitor/zel-monitor.service
  DESTINATION /etc/systemd/system/multi-user.target.wants COMPONENT board)

# One archive for the mining program: the daemon's revision of the library
# and the three archives below it, linked into one object whose global names
# are only those of cmake/kmx_exports.txt; everything else in it is local.
set(KMX_INSTALL_ARCHIVE ${CMAKE_BINARY_DIR}/installed/libkmx.a)
set(KMX_EXPORTS ${CMAKE_SOURCE_DIR}/cmake/kmx_exports.txt)
add_custom_command(OUTPUT ${KMX_INSTALL_ARCHIVE}
  COMMAND ${CMAKE_COMMAND} -E rm -f libkmx.a kmx.o
  COMMAND ${CMAKE_LINKER} -r -o kmx.o --whole-archive $<TARGET_FILE:kmx> $<TARGET_FILE:kmx_frame>
    $<TARGET_FILE:kmx_log> $<TARGET_FILE:kmx_os> --no-whole-archive
  COMMAND ${CMAKE_OBJCOPY} --wildcard --keep-global-symbols=${KMX_EXPORTS} kmx.o
  COMMAND ${CMAKE_AR} rcs libkmx.a kmx.o
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/installed
  DEPENDS kmx kmx_frame kmx_log kmx_os ${KMX_EXPORTS}
  COMMENT "Linking the installed libkmx.a"
  VERBATIM)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/installed)
add_custom_target(kmx_installed_archive ALL DEPENDS ${KMX_INSTALL_ARCHIVE})
install(FILES ${KMX_INSTALL_ARCHIVE} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
foreach(h ${KMX_C_HEADERS})
  get_filename_component(d ${h} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/src/${h} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kmx/${d} COMPONENT dev)
endforeach()
# kmx.pc finds the prefix from its own folder, so that the tree works
# wherever it was installed (--prefix at install time, a staged tree).
string(REGEX MATCHALL "[^/]+" KMX_LIBDIR_PARTS "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
list(TRANSFORM KMX_LIBDIR_PARTS REPLACE ".+" "..")
list(JOIN KMX_LIBDIR_PARTS "/" KMX_PC_TO_PREFIX)
configure_file(${CMAKE_SOURCE_DIR}/cmake/kmx.pc.in ${CMAKE_BINARY_DIR}/kmx.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kmx.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
