# The line's room (line/): what a station tells the factory, a static library that the gang and
# the front end's flash link: the hooks and labels with their spool, the metrics, and the page
# (line/page.cmake: the page built in, its server where the build has libmicrohttpd).
add_library(pelmo4rix_line STATIC
  line/hooks.cpp
  line/hook_facts.cpp
  line/spool.cpp
  line/metrics.cpp
)
target_link_libraries(pelmo4rix_line PUBLIC pelmo4rix_common pelmo4rix_core Threads::Threads)
include(line/page.cmake)
