// A build without libmicrohttpd: the gang runs, but serves no page.
#include "line/page.h"

page_server* page_start(const std::string&, int, const std::vector<std::string>&, unsigned, int&, std::string& error)
{
    error = "this build of pelmo4rix serves no page (it was built without libmicrohttpd)";
    return nullptr;
}

void page_publish(page_server*, const std::string&) {}

void page_publish_metrics(page_server*, const std::string&) {}

void page_stop(page_server*) {}

const char line_page_html[] = "";
const char line_page_policy[] = "";
