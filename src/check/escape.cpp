#include "escape.h"

#include <cstdio>

std::string escapeBytes(const std::string& bytes) {
    std::string shown;
    for (char ch : bytes) {
        const auto byte = static_cast<unsigned char>(ch);
        if (ch == '\n') {
            shown += "\\n";
        } else if (ch == '\r') {
            shown += "\\r";
        } else if (ch == '\\') {
            shown += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", byte);
            shown += hex;
        } else {
            shown += ch;
        }
    }
    return shown;
}
