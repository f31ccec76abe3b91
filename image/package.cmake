# Signed image packages (image/package.cpp) for pelmo4rix, on libsodium: Debian's libsodium-dev
# on Linux; on Windows the static library that scripts/build-libsodium-windows.sh cross-builds,
# so that the programs still need nothing beside them.
add_library(pelmo4rix_package STATIC image/package.cpp image/file_os_${PLATFORM}.cpp)
target_include_directories(pelmo4rix_package PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(pelmo4rix_package PUBLIC pelmo4rix_common pelmo4rix_core)
set(PELMO4RIX_SODIUM_WINDOWS ${CMAKE_BINARY_DIR}/libsodium CACHE PATH
    "libsodium cross-built for Windows (scripts/build-libsodium-windows.sh): include/ and lib/libsodium.a")
if(WIN32)
  if(NOT EXISTS ${PELMO4RIX_SODIUM_WINDOWS}/lib/libsodium.a)
    message(FATAL_ERROR "libsodium for Windows not found in ${PELMO4RIX_SODIUM_WINDOWS}: run scripts/build-libsodium-windows.sh")
  endif()
  target_include_directories(pelmo4rix_package PUBLIC ${PELMO4RIX_SODIUM_WINDOWS}/include)
  target_compile_definitions(pelmo4rix_package PUBLIC SODIUM_STATIC)
  target_link_libraries(pelmo4rix_package PUBLIC ${PELMO4RIX_SODIUM_WINDOWS}/lib/libsodium.a)
else()
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
  target_link_libraries(pelmo4rix_package PUBLIC PkgConfig::SODIUM)
endif()
target_link_libraries(pelmo4rix PRIVATE pelmo4rix_package)
