// qvtool's text: error texts, address text, JSON strings and hexadecimal.
#include "quorvel/quorvel.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/error_names.h"
#include "tools/qvtool/commands.h"

namespace qvtool {
namespace {

std::string SystemText(unsigned long code) {
    wchar_t text[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text / sizeof text[0], nullptr);
    while (n > 0 && (text[n - 1] == L'\r' || text[n - 1] == L'\n' || text[n - 1] == L' ' ||
                     text[n - 1] == L'.')) {
        --n;
    }
    text[n] = L'\0';
    return n ? Narrow(text) : std::string("unknown error");
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::string ErrorText(unsigned long code) {
    // The library's names, whatever texts the system has (several are
    // missing on some platforms).
    if (const quorvel::ErrorName* error = quorvel::FindErrorName(code)) {
        return "error " + std::to_string(code) + " (" + error->name + ": " + error->text + ")";
    }
    return "error " + std::to_string(code) + " (" + SystemText(code) + ")";
}

bool IsDottedQuad(const std::string& text) {
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        }
        size_t start = at;
        unsigned value = 0;
        while (at < text.size() && IsDigit(text[at]) && at - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[at] - '0');
            ++at;
        }
        size_t digits = at - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
    }
    return at == text.size();
}

bool ParseAddressPort(const std::string& text, std::string* address, unsigned long* port) {
    size_t colon = text.find(':');
    std::string host = text.substr(0, colon);
    unsigned long value = 0;
    if (colon != std::string::npos &&
        (!ParseNumber(text.c_str() + colon + 1, 65535, &value) || value == 0)) {
        return false;
    }
    if (!IsDottedQuad(host)) return false;
    *address = host;
    *port = value;
    return true;
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string JsonOrNull(const std::string& text) { return text.empty() ? "null" : Json(text); }

std::string Hex(const unsigned char* data, size_t length) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out(length * 2, '0');
    for (size_t i = 0; i < length; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 0x0F];
    }
    return out;
}

bool ParseHex(const std::string& text, std::string* bytes) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    bytes->clear();
    bytes->reserve(text.size() / 2);
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        int high = digit(text[i]);
        int low = i + 1 < text.size() ? digit(text[i + 1]) : -1;
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return true;
}

}  // namespace qvtool
