# What `cmake --install` lays out: the programs at the board's paths, the
# library with its C headers and a pkg-config file for the mining program,
# and the daemon's service unit. Stage with DESTDIR:
#
#   DESTDIR=/tmp/stage cmake --install build-board
include(GNUInstallDirs)

# The programs sit at fixed paths on the board whatever the prefix: the
# library runs "/bin/filemend 1" and the unit starts "/bin/zel-monitor 1".
install(TARGETS zel-monitor filemend zel_chip_type zel_test zel_fan stepctl boardcheck
  RUNTIME DESTINATION /bin)
# A regular file where the board keeps it (filemend compares it with its
# template, byte for byte).
install(FILES ${CMAKE_SOURCE_DIR}/zel-monitor/zel-monitor.service
  DESTINATION /etc/systemd/system/multi-user.target.wants)

# The daemon's revision of the library, with the three archives below it.
install(TARGETS kmx kmx_frame kmx_log kmx_os ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
foreach(h ${KMX_C_HEADERS})
  get_filename_component(d ${h} DIRECTORY)
  install(FILES ${CMAKE_SOURCE_DIR}/src/${h} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kmx/${d})
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/cmake/kmx.pc.in ${CMAKE_BINARY_DIR}/kmx.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kmx.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
