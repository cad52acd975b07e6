# What a cross build (cmake/mingw-w64.cmake) needs besides the toolchain, included by the
# top-level CMakeLists.txt.

# The cross build makes GoogleTest from the sources Debian ships, with the same toolchain.
set(ZOL_GTEST_SOURCE "/usr/src/googletest" CACHE PATH "GoogleTest sources for the cross build")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${ZOL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
# CLI11 and nlohmann/json are header-only: the cross build sees those two folders of the host
# and nothing else of its /usr/include, through a folder of links and package files of its own
# (find_package(CLI11) and find_package(nlohmann_json) find these).
set(zol_host_headers ${CMAKE_BINARY_DIR}/host-headers)
function(zol_host_header_package name folder target)
  if(EXISTS /usr/include/${folder} AND NOT EXISTS ${zol_host_headers}/${folder})
    file(CREATE_LINK /usr/include/${folder} ${zol_host_headers}/${folder} SYMBOLIC)
  endif()
  file(WRITE ${zol_host_headers}/cmake/${name}/${name}Config.cmake
    "if(NOT TARGET ${target})\n"
    "  add_library(${target} INTERFACE IMPORTED)\n"
    "  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${zol_host_headers})\n"
    "endif()\n")
  set(${name}_DIR ${zol_host_headers}/cmake/${name} CACHE PATH "" FORCE)
endfunction()
file(MAKE_DIRECTORY ${zol_host_headers})
zol_host_header_package(CLI11 CLI CLI11::CLI11)
zol_host_header_package(nlohmann_json nlohmann nlohmann_json::nlohmann_json)

# Qt for Windows (scripts/build-qt-windows builds it; ZOL_QT_WINDOWS is its prefix): a build
# with Qt finds it there, and its moc, rcc and uic are the host's.
set(ZOL_QT_WINDOWS "" CACHE PATH "Prefix of Qt built for Windows (scripts/build-qt-windows)")
if(ZOL_QT_WINDOWS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${ZOL_QT_WINDOWS})
  list(APPEND CMAKE_PREFIX_PATH ${ZOL_QT_WINDOWS})
  execute_process(COMMAND dpkg-architecture -qDEB_BUILD_MULTIARCH OUTPUT_VARIABLE zol_host_arch
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(QT_HOST_PATH /usr CACHE PATH "")
  set(QT_HOST_PATH_CMAKE_DIR /usr/lib/${zol_host_arch}/cmake CACHE PATH "")
elseif(NOT ZOL_CORE_ONLY)
  message(FATAL_ERROR "A Windows build with the windows needs Qt for Windows: "
                      "-DZOL_QT_WINDOWS=$(scripts/build-qt-windows | tail -1), or -DZOL_CORE_ONLY=ON")
endif()

# SQLite for Windows (scripts/build-sqlite-windows builds it; ZOL_SQLITE_WINDOWS is its prefix), a
# static library: with it the build has the set-up journal (find_package(SQLite3) finds it there);
# without it zolctl.exe keeps none.
set(ZOL_SQLITE_WINDOWS "" CACHE PATH "Prefix of SQLite built for Windows (scripts/build-sqlite-windows)")
if(ZOL_SQLITE_WINDOWS)
  # Its files named outright, so that a build folder follows the prefix when it changes (a new
  # version or script); a prefix without them is an error, not a build that keeps no journal.
  if(NOT EXISTS ${ZOL_SQLITE_WINDOWS}/include/sqlite3.h OR
     NOT EXISTS ${ZOL_SQLITE_WINDOWS}/lib/libsqlite3.a)
    message(FATAL_ERROR "No SQLite for Windows in ${ZOL_SQLITE_WINDOWS} (scripts/build-sqlite-windows)")
  endif()
  set(SQLite3_INCLUDE_DIR ${ZOL_SQLITE_WINDOWS}/include CACHE PATH "" FORCE)
  set(SQLite3_LIBRARY ${ZOL_SQLITE_WINDOWS}/lib/libsqlite3.a CACHE FILEPATH "" FORCE)
  find_package(SQLite3 REQUIRED)
endif()
