# The pool (pool/): the address file's supply and the shared pool, a static library that the
# front end (flash --pool, pool) and the gang link. The shared pool runs on PostgreSQL through
# libpq where the build has it: on Linux linked at build time; on Windows libpq's headers from
# scripts/build-libpq-windows.sh and libpq.dll loaded at run time.
add_library(pelmo4rix_pool STATIC
  pool/pool.cpp
  pool/journal.cpp
)
target_link_libraries(pelmo4rix_pool PUBLIC pelmo4rix_common pelmo4rix_core Threads::Threads)

if(NOT WIN32)
  find_package(PkgConfig)
  if(PkgConfig_FOUND)
    pkg_check_modules(LIBPQ IMPORTED_TARGET libpq)
  endif()
endif()
set(PELMO4RIX_LIBPQ_WINDOWS ${CMAKE_BINARY_DIR}/libpq CACHE PATH
    "libpq cross-built for Windows (scripts/build-libpq-windows.sh): include/ and bin/libpq.dll")
# The pool's layout and functions, pool/pool_schema.sql, built into the program.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/pool/pool_schema.sql PELMO4RIX_POOL_SCHEMA)
configure_file(pool/pool_schema.cpp.in ${CMAKE_CURRENT_BINARY_DIR}/pool_schema.cpp @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS pool/pool_schema.sql)
set(PELMO4RIX_POOL_PG_SOURCES pool/pool_store_pg.cpp pool/pg_session.cpp ${CMAKE_CURRENT_BINARY_DIR}/pool_schema.cpp)
if(LIBPQ_FOUND)
  target_sources(pelmo4rix_pool PRIVATE ${PELMO4RIX_POOL_PG_SOURCES} pool/pq_library_posix.cpp)
  target_link_libraries(pelmo4rix_pool PUBLIC PkgConfig::LIBPQ)
elseif(WIN32 AND EXISTS ${PELMO4RIX_LIBPQ_WINDOWS}/include/libpq-fe.h)
  target_sources(pelmo4rix_pool PRIVATE ${PELMO4RIX_POOL_PG_SOURCES} pool/pq_library_win32.cpp)
  target_include_directories(pelmo4rix_pool PRIVATE ${PELMO4RIX_LIBPQ_WINDOWS}/include)
else()
  message(STATUS "libpq not found: pelmo4rix is built without pool support")
  target_sources(pelmo4rix_pool PRIVATE pool/pool_store_none.cpp)
endif()
