# The Debian packages the library and its programs build against.
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
pkg_check_modules(JANSSON REQUIRED IMPORTED_TARGET jansson)
pkg_check_modules(CJSON REQUIRED IMPORTED_TARGET libcjson)
pkg_check_modules(LZ4 REQUIRED IMPORTED_TARGET liblz4)
find_path(INIPARSER_INCLUDE_DIR iniparser.h PATH_SUFFIXES iniparser REQUIRED)
find_library(INIPARSER_LIBRARY iniparser REQUIRED)
add_library(iniparser::iniparser UNKNOWN IMPORTED)
set_target_properties(iniparser::iniparser PROPERTIES
  IMPORTED_LOCATION "${INIPARSER_LIBRARY}"
  INTERFACE_INCLUDE_DIRECTORIES "${INIPARSER_INCLUDE_DIR}")
