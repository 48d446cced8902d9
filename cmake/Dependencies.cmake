# Libraries from Debian packages (scripts/install-deps installs them).
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(SQLite3 REQUIRED)
find_package(JPEG REQUIRED)
find_package(Iconv REQUIRED)
pkg_check_modules(LIBEVENT REQUIRED IMPORTED_TARGET libevent libevent_pthreads)
pkg_check_modules(MINIUPNPC REQUIRED IMPORTED_TARGET miniupnpc)

# UDT ships neither a pkg-config file nor a CMake config.
find_path(UDT_INCLUDE_DIR udt/udt.h REQUIRED)
find_library(UDT_LIBRARY udt REQUIRED)
add_library(udt::udt UNKNOWN IMPORTED)
set_target_properties(udt::udt PROPERTIES
  IMPORTED_LOCATION ${UDT_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${UDT_INCLUDE_DIR}
  INTERFACE_LINK_LIBRARIES Threads::Threads)

# Qt 6 for the desktop program (packages qt6-base-dev, qt6-svg-dev; rcc from qt6-base-dev-tools;
# Widgets, Network and Test are in qt6-base-dev).
find_package(Qt6 REQUIRED COMPONENTS Core Gui Svg Widgets Network Test)

# libcurl's header for the transfer module, which opens the library at run time for https.
find_package(CURL REQUIRED)

# jsoncpp for the JSON replies of the vendor's web service (package libjsoncpp-dev).
find_package(jsoncpp CONFIG REQUIRED)
