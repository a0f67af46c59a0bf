// Broker and plugin addresses as a pilot types them.
#pragma once

#include <string>

namespace velmir::net {

// "host", "host:port" or "[v6]:port"; false on a malformed port. `port`
// keeps its value when the text names none.
bool SplitHostPort(const std::string& text, std::string& host, int& port);

}  // namespace velmir::net
