# Third-party libraries. Natively they are Debian's packages; for Windows they are built from
# Debian's sources by scripts/build-windows-deps.sh into QEM_WINDOWS_DEPS, outside the tree.

if(WIN32)
  set(QEM_WINDOWS_DEPS "$ENV{HOME}/.cache/qem/mingw64" CACHE PATH
      "Prefix holding TinyXML, SQLite and GoogleTest built for Windows")
  if(NOT EXISTS "${QEM_WINDOWS_DEPS}/lib/libtinyxml.a")
    message(FATAL_ERROR "No Windows dependencies in ${QEM_WINDOWS_DEPS}: run scripts/build-windows-deps.sh")
  endif()

  add_library(qem_tinyxml STATIC IMPORTED GLOBAL)
  set_target_properties(qem_tinyxml PROPERTIES
    IMPORTED_LOCATION "${QEM_WINDOWS_DEPS}/lib/libtinyxml.a"
    INTERFACE_INCLUDE_DIRECTORIES "${QEM_WINDOWS_DEPS}/include")

  add_library(qem_sqlite3 STATIC IMPORTED GLOBAL)
  set_target_properties(qem_sqlite3 PROPERTIES
    IMPORTED_LOCATION "${QEM_WINDOWS_DEPS}/lib/libsqlite3.a"
    INTERFACE_INCLUDE_DIRECTORIES "${QEM_WINDOWS_DEPS}/include")

  if(QEM_BUILD_TESTS)
    find_package(GTest CONFIG REQUIRED PATHS "${QEM_WINDOWS_DEPS}" NO_DEFAULT_PATH
                 NO_CMAKE_FIND_ROOT_PATH)
  endif()
else()
  find_library(QEM_TINYXML_LIB tinyxml REQUIRED)
  find_path(QEM_TINYXML_INCLUDE tinyxml.h REQUIRED)
  add_library(qem_tinyxml UNKNOWN IMPORTED GLOBAL)
  set_target_properties(qem_tinyxml PROPERTIES
    IMPORTED_LOCATION "${QEM_TINYXML_LIB}"
    INTERFACE_INCLUDE_DIRECTORIES "${QEM_TINYXML_INCLUDE}")

  find_package(SQLite3 REQUIRED)
  add_library(qem_sqlite3 INTERFACE IMPORTED GLOBAL)
  target_link_libraries(qem_sqlite3 INTERFACE SQLite::SQLite3)

  find_package(OpenSSL REQUIRED COMPONENTS Crypto)

  if(QEM_BUILD_TESTS)
    find_package(GTest REQUIRED)
  endif()
endif()
