// Address text: IPv4 text (IsValidIPAddress, the socket endpoints' address
// arguments), MAC text both ways, host names (GetIPAddrByDomainName).
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <cwctype>

#include "quorvel/quorvel.h"
#include "tests/fuzz/fuzz.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;
using qvfuzz::GuardedBlock;
using qvfuzz::TextGenerator;

namespace {

struct Sockets {
    Sockets() : ok(SocketInit() == 1) {}
    ~Sockets() {
        if (ok) SocketUnInit();
    }
    bool ok;
};

const std::vector<std::wstring> kIPv4Seeds = {
    L"10.0.0.1", L"192.168.1.20", L"127.0.0.1", L"169.254.3.4", L"255.255.255.255",
    L"0.0.0.0", L"224.0.0.1", L"10.0.0.1:80", L"1.2.3", L"010.0.0.1", L"abc", L""};

// The platform's own reading of the text, as far as the library hands it on.
bool Parses(const std::wstring& text, size_t maxChars, SOCKADDR_IN* sa) {
    if (text.size() > maxChars || text.find(L'\0') != std::wstring::npos) return false;
    std::wstring copy = text;
    INT length = sizeof *sa;
    std::memset(sa, 0, sizeof *sa);
    return WSAStringToAddressW(&copy[0], AF_INET, nullptr, reinterpret_cast<SOCKADDR*>(sa),
                               &length) != SOCKET_ERROR;
}

// The text as the library sees it: up to its first NUL.
std::wstring UpToNul(const std::wstring& text) { return text.substr(0, text.find(L'\0')); }

}  // namespace

TEST(Fuzz, IPv4TextAndMacText) {
    Sockets sockets;
    ASSERT_TRUE(sockets.ok);
    GuardedBlock input(4096), output(64 * sizeof(wchar_t)), value(8);
    long iterations = qvfuzz::Iterations();

    // IsValidIPAddress: the platform's parse, then the first-octet rule.
    TextGenerator ipv4(kIPv4Seeds, 0x1F4A11);
    long valid = 0;
    for (long i = 0; i < iterations; ++i) {
        std::wstring text = ipv4.Next();
        // Unterminated only in a buffer of at least the 260 characters read.
        bool term = text.size() < 260 || ipv4.Below(2);
        const wchar_t* at = input.Place(text, term);
        SOCKADDR_IN sa;
        bool parses = Parses(UpToNul(term ? text : text.substr(0, 260)), 259, &sa);
        unsigned char first = sa.sin_addr.S_un.S_un_b.s_b1;
        int expected = parses && first != 0 && first != 127 && first != 169 && first != 255;
        ASSERT_EQ(expected, IsValidIPAddress(at)) << "input " << i;
        valid += expected;
    }

    // MAC text to a value: bytes 6 and 7 stay zero, and a text in the exact
    // format gives its six bytes.
    TextGenerator macText({L"11-22-33-44-55-66", L"aa-bb-cc-dd-ee-ff", L"1-2-3-4-5-6",
                           L" 0A- 0B-0C-0D-0E-0F", L"FF-FF-FF-FF-FF-FF-FF", L"11:22:33:44:55:66"},
                          0x3AC7E1);
    unsigned long long* mac = reinterpret_cast<unsigned long long*>(value.Bytes(8));
    for (long i = 0; i < iterations; ++i) {
        std::wstring text = macText.Next();
        // Unterminated only in a buffer of at least the 48 characters of MAC text.
        bool term = text.size() < QV_MACADDR_CCH || macText.Below(2);
        StringToMacAddress(input.Place(text, term), mac);
        if (!term) text = text.substr(0, QV_MACADDR_CCH);
        ASSERT_EQ(0u, *mac >> 48) << "input " << i;
        std::wstring seen = UpToNul(text);
        bool exact = seen.size() == 17;
        for (size_t k = 0; exact && k < 17; ++k) {
            exact = k % 3 == 2 ? seen[k] == L'-' : std::iswxdigit(seen[k]) && seen[k] < 0x80;
        }
        unsigned b[6];
        if (exact && swscanf(seen.c_str(), L"%2x-%2x-%2x-%2x-%2x-%2x", &b[0], &b[1], &b[2], &b[3],
                             &b[4], &b[5]) == 6) {
            unsigned long long expected = 0;
            for (int k = 5; k >= 0; --k) expected = expected << 8 | b[k];
            ASSERT_EQ(expected, *mac) << "input " << i;
        }
    }

    // A value to MAC text, into every capacity up to past the text: never a
    // character beyond the capacity (the guard), a whole text or an empty one.
    TextGenerator any({}, 0x77AC);
    for (long i = 0; i < iterations; ++i) {
        *mac = (static_cast<unsigned long long>(any.Below(0xFFFFFFFFu)) << 32) | any.Below(0xFFFFFFFFu);
        unsigned long cch = any.Below(50);
        wchar_t* text = output.Output(cch ? cch : 1);
        MacAddressToString(mac, text, cch);
        if (cch >= 18) {
            ASSERT_EQ(17u, std::wcslen(text)) << "input " << i;
            unsigned long long back = 0;
            StringToMacAddress(text, &back);
            ASSERT_EQ(*mac & 0xFFFFFFFFFFFFull, back) << "input " << i;
        } else if (cch) {
            ASSERT_EQ(L'\0', text[0]) << "input " << i;
        }
    }
    std::printf("ROW fuzz: IPv4 text, MAC text both ways|%ld inputs each (%ld valid IPv4)|no fault\n",
                iterations, valid);
}

TEST(Fuzz, HostNamesAndEndpointAddressText) {
    Sockets sockets;
    ASSERT_TRUE(sockets.ok);
    GuardedBlock input(8192), output(64 * sizeof(wchar_t));
    long iterations = qvfuzz::Iterations();

    // Host names never reach a resolver: a stand-in checks that the name it
    // gets is terminated within 260 bytes and answers names that start with
    // a digit.
    static char address[4] = {10, 1, 2, 3};
    static char* list[2] = {address, nullptr};
    static hostent entry = {};
    entry.h_addrtype = AF_INET;
    entry.h_length = 4;
    entry.h_addr_list = list;
    bool terminated = true, asked = false;
    qvtest::Hook<os::gethostbyname> resolver([&](const char* name) -> hostent* {
        asked = true;
        terminated = std::memchr(name, 0, 260) != nullptr;
        if (name[0] >= '0' && name[0] <= '9') return &entry;
        WSASetLastError(WSAHOST_NOT_FOUND);
        return nullptr;
    });
    TextGenerator names({L"localhost", L"qv-sim-host", L"printer.lan", L"10.0.0.1",
                         std::wstring(255, L'h'), L"xn--bcher-kva.example"},
                        0xD0D0);
    for (long i = 0; i < iterations; ++i) {
        std::wstring text = names.Next();
        wchar_t* out = output.Output(64);
        asked = false;
        int result = GetIPAddrByDomainName(input.Place(text, true), out);
        ASSERT_TRUE(terminated) << "input " << i;
        if (result) {
            ASSERT_STREQ(L"10.1.2.3", out) << "input " << i;
        } else {
            // The resolver's own error, or WSAEINVAL for a name it never got.
            ASSERT_EQ(static_cast<unsigned long>(asked ? WSAHOST_NOT_FOUND : WSAEINVAL),
                      SocketGetLastError())
                << "input " << i;
            ASSERT_EQ(static_cast<wchar_t>(0xBEEF), out[0]) << "input " << i;  // untouched
        }
    }

    // Endpoint address arguments: only text that parses as numeric IPv4
    // within 63 characters makes a socket (which the stand-in refuses).
    int sockets_made = 0;
    qvtest::Hook<os::socket> noSocket([&](int, int, int) -> SOCKET {
        ++sockets_made;
        WSASetLastError(WSAENOBUFS);
        return INVALID_SOCKET;
    });
    TextGenerator addresses(kIPv4Seeds, 0xADD7);
    CxClientSocket client;
    CxServerSocket server;
    CxUdpSocket udp;
    udp.SetPeerAddress(L"127.0.0.9");
    std::wstring peer = L"127.0.0.9";
    long parsed = 0;
    for (long i = 0; i < iterations; ++i) {
        std::wstring text = addresses.Next();
        // An unterminated text only in a buffer longer than the limit.
        bool term = text.size() <= 64 || addresses.Below(2);
        const wchar_t* at = input.Place(text, term);
        std::wstring seen = UpToNul(term ? text : text.substr(0, 64));
        SOCKADDR_IN sa;
        bool parses = Parses(seen, 63, &sa);
        int before = sockets_made;
        ASSERT_EQ(0, client.Connect(at, 80, 0)) << "input " << i;
        ASSERT_EQ(parses ? before + 1 : before, sockets_made) << "input " << i;
        parsed += parses;
        // A listen address too, where the empty text means every interface.
        before = sockets_made;
        ASSERT_EQ(0, server.ListenConnection(at, 80)) << "input " << i;
        ASSERT_EQ(parses || seen.empty() ? before + 1 : before, sockets_made) << "input " << i;

        udp.SetPeerAddress(at);
        if (seen.size() <= 63) peer = seen;
        wchar_t* out = output.Output(64);
        udp.GetPeerAddress(out);
        ASSERT_EQ(peer, std::wstring(out)) << "input " << i;
    }
    std::printf("ROW fuzz: host names, endpoint address text|%ld inputs each (%ld parsed)|no fault\n",
                iterations, parsed);
}
