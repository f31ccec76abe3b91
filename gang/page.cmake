# The gang's page: gang/page.html built into the program, served with cpp-httplib where the
# build has it (Debian: libcpp-httplib-dev); without it the gang refuses --http.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/gang/page.html GANG_PAGE_HTML)
configure_file(gang/page_html.cpp.in ${CMAKE_CURRENT_BINARY_DIR}/gang_page_html.cpp @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS gang/page.html)

find_package(Threads REQUIRED)
target_link_libraries(pelmo4rix PRIVATE Threads::Threads)
find_path(PELMO4RIX_HTTPLIB_INCLUDE httplib.h)
find_library(PELMO4RIX_HTTPLIB_LIBRARY cpp-httplib)
if(PELMO4RIX_HTTPLIB_INCLUDE AND PELMO4RIX_HTTPLIB_LIBRARY)
  target_sources(pelmo4rix PRIVATE gang/page_httplib.cpp ${CMAKE_CURRENT_BINARY_DIR}/gang_page_html.cpp)
  target_include_directories(pelmo4rix PRIVATE ${PELMO4RIX_HTTPLIB_INCLUDE})
  target_link_libraries(pelmo4rix PRIVATE ${PELMO4RIX_HTTPLIB_LIBRARY})
else()
  message(STATUS "cpp-httplib not found: pelmo4rix gang will serve no page (--http)")
  target_sources(pelmo4rix PRIVATE gang/page_none.cpp)
endif()
