// qvtool's text: error texts, address text, JSON strings and hexadecimal.
#include "quorvel/quorvel.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/qvtool/commands.h"

namespace qvtool {
namespace {

// Windows Sockets errors by name, with a short text: the system has no
// message text for several of them on some platforms.
struct SocketError {
    unsigned long code;
    const char* name;
    const char* text;
};
const SocketError kSocketErrors[] = {
    {10004, "WSAEINTR", "interrupted function call"},
    {10009, "WSAEBADF", "bad file handle"},
    {10013, "WSAEACCES", "permission denied"},
    {10014, "WSAEFAULT", "bad address"},
    {10022, "WSAEINVAL", "invalid argument"},
    {10024, "WSAEMFILE", "too many open sockets"},
    {10035, "WSAEWOULDBLOCK", "operation would block"},
    {10036, "WSAEINPROGRESS", "operation now in progress"},
    {10037, "WSAEALREADY", "operation already in progress"},
    {10038, "WSAENOTSOCK", "not a socket"},
    {10039, "WSAEDESTADDRREQ", "destination address required"},
    {10040, "WSAEMSGSIZE", "message too long"},
    {10041, "WSAEPROTOTYPE", "wrong protocol type for socket"},
    {10042, "WSAENOPROTOOPT", "bad protocol option"},
    {10043, "WSAEPROTONOSUPPORT", "protocol not supported"},
    {10044, "WSAESOCKTNOSUPPORT", "socket type not supported"},
    {10045, "WSAEOPNOTSUPP", "operation not supported"},
    {10046, "WSAEPFNOSUPPORT", "protocol family not supported"},
    {10047, "WSAEAFNOSUPPORT", "address family not supported"},
    {10048, "WSAEADDRINUSE", "address already in use"},
    {10049, "WSAEADDRNOTAVAIL", "cannot assign requested address"},
    {10050, "WSAENETDOWN", "network is down"},
    {10051, "WSAENETUNREACH", "network is unreachable"},
    {10052, "WSAENETRESET", "network dropped connection on reset"},
    {10053, "WSAECONNABORTED", "connection aborted"},
    {10054, "WSAECONNRESET", "connection reset by peer"},
    {10055, "WSAENOBUFS", "no buffer space available"},
    {10056, "WSAEISCONN", "socket is already connected"},
    {10057, "WSAENOTCONN", "socket is not connected"},
    {10058, "WSAESHUTDOWN", "cannot send after socket shutdown"},
    {10059, "WSAETOOMANYREFS", "too many references"},
    {10060, "WSAETIMEDOUT", "connection timed out"},
    {10061, "WSAECONNREFUSED", "connection refused"},
    {10062, "WSAELOOP", "cannot translate name"},
    {10063, "WSAENAMETOOLONG", "name too long"},
    {10064, "WSAEHOSTDOWN", "host is down"},
    {10065, "WSAEHOSTUNREACH", "no route to host"},
    {10066, "WSAENOTEMPTY", "directory not empty"},
    {10067, "WSAEPROCLIM", "too many processes"},
    {10068, "WSAEUSERS", "user quota exceeded"},
    {10069, "WSAEDQUOT", "disk quota exceeded"},
    {10070, "WSAESTALE", "stale file handle reference"},
    {10071, "WSAEREMOTE", "item is remote"},
    {10091, "WSASYSNOTREADY", "network subsystem is unavailable"},
    {10092, "WSAVERNOTSUPPORTED", "Windows Sockets version not supported"},
    {10093, "WSANOTINITIALISED", "Windows Sockets not started"},
    {10101, "WSAEDISCON", "graceful shutdown in progress"},
    {10102, "WSAENOMORE", "no more results"},
    {10103, "WSAECANCELLED", "call cancelled"},
    {10104, "WSAEINVALIDPROCTABLE", "procedure call table is invalid"},
    {10105, "WSAEINVALIDPROVIDER", "service provider is invalid"},
    {10106, "WSAEPROVIDERFAILEDINIT", "service provider failed to start"},
    {10107, "WSASYSCALLFAILURE", "system call failure"},
    {10108, "WSASERVICE_NOT_FOUND", "service not found"},
    {10109, "WSATYPE_NOT_FOUND", "class type not found"},
    {10110, "WSA_E_NO_MORE", "no more results"},
    {10111, "WSA_E_CANCELLED", "call cancelled"},
    {10112, "WSAEREFUSED", "database query refused"},
    {11001, "WSAHOST_NOT_FOUND", "host not found"},
    {11002, "WSATRY_AGAIN", "host not found, try again"},
    {11003, "WSANO_RECOVERY", "non-recoverable name server error"},
    {11004, "WSANO_DATA", "name has no address of the requested type"},
};

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
    for (const SocketError& error : kSocketErrors) {
        if (error.code == code) {
            return "error " + std::to_string(code) + " (" + error.name + ": " + error.text + ")";
        }
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
