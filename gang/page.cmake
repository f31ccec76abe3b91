# The gang's page: gang/page.html built into the program, served with cpp-httplib where the
# build has it (Debian: libcpp-httplib-dev; on Windows its header from Debian's source package);
# without it the gang refuses --http.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/gang/page.html GANG_PAGE_HTML)
configure_file(gang/page_html.cpp.in ${CMAKE_CURRENT_BINARY_DIR}/gang_page_html.cpp @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS gang/page.html)

find_package(Threads REQUIRED)
target_link_libraries(pelmo4rix PRIVATE Threads::Threads)
# On Windows: cpp-httplib's whole single header, which scripts/build-windows.sh fetches from
# Debian's source package into the build directory, compiled into page_httplib.cpp.
if(WIN32)
  set(PELMO4RIX_HTTPLIB_WINDOWS ${CMAKE_BINARY_DIR}/httplib CACHE PATH
      "cpp-httplib's single header for the Windows build (scripts/build-windows.sh)")
  if(EXISTS ${PELMO4RIX_HTTPLIB_WINDOWS}/httplib.h)
    set(PELMO4RIX_HTTPLIB_INCLUDE ${PELMO4RIX_HTTPLIB_WINDOWS})
    set(PELMO4RIX_HTTPLIB_LIBRARY ws2_32)
    # Windows 10's API: the header's Winsock calls (getaddrinfo, getnameinfo) need XP's at
    # least, and cpp-httplib's later releases, which a newer Debian serves, refuse less.
    set_source_files_properties(gang/page_httplib.cpp PROPERTIES COMPILE_DEFINITIONS _WIN32_WINNT=0x0A00)
  endif()
else()
  find_path(PELMO4RIX_HTTPLIB_INCLUDE httplib.h)
  find_library(PELMO4RIX_HTTPLIB_LIBRARY cpp-httplib)
endif()
if(PELMO4RIX_HTTPLIB_INCLUDE AND PELMO4RIX_HTTPLIB_LIBRARY)
  target_sources(pelmo4rix PRIVATE gang/page_httplib.cpp ${CMAKE_CURRENT_BINARY_DIR}/gang_page_html.cpp)
  target_include_directories(pelmo4rix SYSTEM PRIVATE ${PELMO4RIX_HTTPLIB_INCLUDE})
  target_link_libraries(pelmo4rix PRIVATE ${PELMO4RIX_HTTPLIB_LIBRARY})
else()
  message(STATUS "cpp-httplib not found: pelmo4rix gang will serve no page (--http)")
  target_sources(pelmo4rix PRIVATE gang/page_none.cpp)
endif()
