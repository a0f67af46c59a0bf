#include "net/pilot/Address.h"

namespace velmir::net {

bool SplitHostPort(const std::string& text, std::string& host, int& port) {
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            portText = text.substr(close + 2);
        }
    } else {
        const auto colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string::npos) portText = text.substr(colon + 1);
        if (colon != std::string::npos && portText.find(':') != std::string::npos) return false;
    }
    if (host.empty()) return false;
    if (text.find(':') != std::string::npos && !text.empty() && text.back() == ':') return false;
    if (portText.empty()) return true;
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(portText);
    return port >= 1 && port <= 65535;
}

}  // namespace velmir::net
