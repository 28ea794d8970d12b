#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "sim/sim_adapters.h"
#include "sim/sim_hosts.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;

namespace {

std::wstring AddrText(CxLocalHostIPAddrFind& find) {
    wchar_t text[64] = L"junk";
    find.GetIPAddr(text);
    return text;
}

std::string Name(CxAdapterFind& find, PIP_ADAPTER_INFO next = nullptr) {
    IP_ADAPTER_INFO info;
    std::memset(&info, 0xCC, sizeof info);
    find.GetAdapterInfo(&info);
    if (next) *next = info;
    return info.AdapterName;
}

}  // namespace

TEST(AddressText, IPv4TextIsCheckedAndResolved) {
    qvsim::Sockets sockets;
    for (auto text : {L"10.0.0.1", L"192.168.1.20", L"224.0.0.1", L"10.0.0.1:80"}) {
        EXPECT_EQ(1, IsValidIPAddress(text)) << text;
    }
    for (auto text : {L"127.0.0.1", L"169.254.3.4", L"169.1.2.3", L"0.0.0.0", L"0.1.2.3",
                      L"255.255.255.255", L"", L"abc", L"256.1.1.1"}) {
        EXPECT_EQ(0, IsValidIPAddress(text)) << text;
    }
    EXPECT_EQ(0, IsValidIPAddress(nullptr));
    EXPECT_EQ(0, IsValidIPAddress((L"10.0.0.1" + std::wstring(400, L' ')).c_str()));

    wchar_t addr[64] = {};
    EXPECT_EQ(1, GetIPAddrByDomainName(L"10.1.2.3", addr));
    EXPECT_STREQ(L"10.1.2.3", addr);
    EXPECT_EQ(1, GetIPAddrByDomainName(L"localhost", addr));
    EXPECT_STREQ(L"127.0.0.1", addr);

    // An unknown name, injected so that no name service is asked.
    std::string asked;
    qvtest::Hook<os::gethostbyname> unknown([&](const char* name) -> hostent* {
        asked = name;
        os::WSASetLastError(WSAHOST_NOT_FOUND);
        return nullptr;
    });
    wcscpy(addr, L"untouched");
    EXPECT_EQ(0, GetIPAddrByDomainName(L"no-such-host.invalid", addr));
    EXPECT_STREQ(L"untouched", addr);
    EXPECT_EQ(static_cast<unsigned long>(WSAHOST_NOT_FOUND), SocketGetLastError());
    EXPECT_EQ(0, GetIPAddrByDomainName(std::wstring(400, L'a').c_str(), addr));
    EXPECT_EQ(std::string(259, 'a'), asked);  // cut, terminated
    EXPECT_EQ(0, GetIPAddrByDomainName(L"localhost", nullptr));
}

TEST(AddressText, MacTextRoundTripsAndNeverOverruns) {
    unsigned long long mac = 0x0000665544332211ULL, high = 0xFFFF000000000001ULL, value = ~0ULL;
    wchar_t text[48];
    MacAddressToString(&mac, text, 48);
    EXPECT_STREQ(L"11-22-33-44-55-66", text);
    StringToMacAddress(text, &value);
    EXPECT_EQ(mac, value);
    MacAddressToString(&high, text, 18);  // the two high bytes are ignored
    EXPECT_STREQ(L"01-00-00-00-00-00", text);

    struct {
        const wchar_t* text;
        unsigned long long mac;
    } reads[] = {{L"aa-bb-cc-dd-ee-ff", 0xFFEEDDCCBBAAULL}, {L"1-2-3-4-5-6", 0x060504030201ULL},
                 {L" 1- 2-3-4-5-0a", 0x0A0504030201ULL},
                 // Matches in part: every field after the mismatch is 0.
                 {L"11-22-xx-44-55-66", 0x2211ULL}, {L"11:22:33:44:55:66", 0x11ULL}, {L"", 0}};
    for (auto& read : reads) {
        value = ~0ULL;
        StringToMacAddress(read.text, &value);
        EXPECT_EQ(read.mac, value) << read.text;
    }
    StringToMacAddress(nullptr, &value);
    EXPECT_EQ(0ULL, value);
    StringToMacAddress(L"11-22-33-44-55-66", nullptr);

    // A capacity below 18 gets the empty string, and nothing past it.
    for (unsigned long cch : {1ul, 17ul}) {
        wchar_t guard[24];
        std::fill(std::begin(guard), std::end(guard), L'Z');
        MacAddressToString(&mac, guard, cch);
        EXPECT_EQ(L'\0', guard[0]);
        EXPECT_EQ(std::wstring(23, L'Z'), std::wstring(guard + 1, 23)) << cch;
    }
    wcscpy(text, L"abc");
    MacAddressToString(&mac, text, 0);
    MacAddressToString(nullptr, text, 48);
    MacAddressToString(&mac, nullptr, 48);
    EXPECT_STREQ(L"abc", text);
}

TEST(LocalHost, WalkKeepsItsAddressesWhateverTheThreadLooksUpMeanwhile) {
    qvsim::Sockets sockets;
    qvsim::HostNet net({"169.254.1.2", "10.77.5.23", "192.168.3.4"});
    net.AddName("other-host", {"10.9.9.9"});

    CxLocalHostIPAddrFind find;
    EXPECT_EQ(L"", AddrText(find));
    EXPECT_EQ(0, find.FindNextIPAddr());  // before any find
    ASSERT_EQ(1, find.FindIPAddr());
    EXPECT_EQ(L"169.254.1.2", AddrText(find));
    // Another lookup on this thread replaces the socket library's entry.
    ASSERT_NE(nullptr, os::gethostbyname("other-host"));
    CxLocalHostIPAddrFind copy(find);
    ASSERT_EQ(1, find.FindNextIPAddr());
    EXPECT_EQ(L"10.77.5.23", AddrText(find));
    ASSERT_EQ(1, find.FindNextIPAddr());
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, find.FindNextIPAddr());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_EQ(L"192.168.3.4", AddrText(find));
    ASSERT_EQ(1, copy.FindNextIPAddr());  // the copy walks on by itself
    EXPECT_EQ(L"10.77.5.23", AddrText(copy));
    copy.FindIPAddrClose();
    EXPECT_EQ(0, copy.FindNextIPAddr());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());  // outside a walk
    EXPECT_EQ(L"10.77.5.23", AddrText(copy));

    wchar_t addr[64] = {};
    EXPECT_EQ(1, GetFirstValidIPAddress(addr));  // past the link-local address
    EXPECT_STREQ(L"10.77.5.23", addr);
    net.SetLocalAddresses({"127.0.0.1"});
    EXPECT_EQ(0, GetFirstValidIPAddress(addr));
    EXPECT_STREQ(L"127.0.0.1", addr);
    net.SetLocalAddresses({});
    wcscpy(addr, L"untouched");
    EXPECT_EQ(0, GetFirstValidIPAddress(addr));
    EXPECT_STREQ(L"untouched", addr);
    EXPECT_EQ(0, find.FindIPAddr());
    EXPECT_EQ(0, find.FindNextIPAddr());
}

TEST(Adapters, ListsRecordsWithoutReadingPastTheBlockOrIntoAFreedOne) {
    std::vector<std::string> real, listed;  // the platform's own list first
    ULONG len = 0;
    std::vector<BYTE> block(GetAdaptersInfo(nullptr, &len) == ERROR_BUFFER_OVERFLOW ? len : 0);
    auto* first = reinterpret_cast<PIP_ADAPTER_INFO>(block.data());
    if (len && GetAdaptersInfo(first, &len) == NO_ERROR) {
        for (auto* p = first; p; p = p->Next) real.push_back(p->AdapterName);
    }
    CxAdapterFind find;
    for (int ok = find.FindAdapter(); ok; ok = find.FindNextAdapter()) listed.push_back(Name(find));
    EXPECT_EQ(real, listed);
    find.FindAdapterClose();

    qvsim::GuardedHeap heap;  // a read past a block faults
    // Records 8 bytes closer together than the record, as Wine's on x86.
    qvsim::AdapterList list(3, sizeof(IP_ADAPTER_INFO) - 8);
    EXPECT_EQ(0, CxAdapterFind().FindNextAdapter());  // a new finder
    ASSERT_EQ(1, find.FindAdapter());
    EXPECT_EQ(2, list.Calls());  // one overflow, then the list
    std::vector<std::string> names{Name(find)};
    while (find.FindNextAdapter()) names.push_back(Name(find));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_EQ((std::vector<std::string>{"adapter0", "adapter1", "adapter2"}), names);
    IP_ADAPTER_INFO info;
    Name(find, &info);
    EXPECT_EQ(3u, info.Index);

    ASSERT_EQ(1, find.FindAdapter());  // starts over, holding only the new block
    EXPECT_EQ(1u, heap.Held());
    ASSERT_EQ(1, find.FindNextAdapter());
    find.FindAdapterClose();
    EXPECT_EQ(0u, heap.Held());
    EXPECT_EQ(0, find.FindNextAdapter());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ("adapter1", Name(find, &info));  // the last record, no links into freed memory
    EXPECT_EQ(nullptr, info.Next);
    EXPECT_EQ(nullptr, info.IpAddressList.Next);
    find.GetAdapterInfo(nullptr);

    list.SetCount(0);  // ERROR_NO_DATA
    EXPECT_EQ(0, find.FindAdapter());
    EXPECT_EQ(0, find.FindNextAdapter());
    EXPECT_EQ(0u, heap.Held());

    list.SetCount(2);  // copies share the block; the owner frees it once
    {
        CxAdapterFind owner;
        ASSERT_EQ(1, owner.FindAdapter());
        CxAdapterFind copy(owner), copy2;
        copy2 = owner;
        EXPECT_EQ(1, copy2.FindNextAdapter());
        copy2.FindAdapterClose();
        EXPECT_EQ(1u, heap.Held());
        owner.FindAdapterClose();
        EXPECT_EQ(0, copy.FindNextAdapter());
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());  // its owner released the block
        EXPECT_EQ("adapter0", Name(copy, &info));
        EXPECT_EQ(nullptr, info.Next);
    }
    EXPECT_EQ(0u, heap.Held());
    EXPECT_EQ(0, heap.BadFrees());

    // A link just past the end of the block leads to no record.
    qvtest::Hook<os::GetAdaptersInfo> past([](PIP_ADAPTER_INFO p, PULONG len) -> DWORD {
        if (*len != sizeof *p) return ERROR_BUFFER_OVERFLOW;
        std::memset(p, 0, sizeof *p);
        std::strcpy(p->AdapterName, "only");
        p->Next = p + 1;
        return NO_ERROR;
    });
    ASSERT_EQ(1, find.FindAdapter());
    EXPECT_EQ(0, find.FindNextAdapter());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
    EXPECT_EQ("only", Name(find));
    find.FindAdapterClose();
}

TEST(Adapters, AFailedFindLeavesTheSystemsReasonAsTheLastError) {
    // The release of the block after a refused call must not hide the refusal.
    qvtest::Hook<os::HeapFree> freeing([&](HANDLE heap, DWORD flags, LPVOID p) {
        BOOL ok = freeing.Real()(heap, flags, p);
        SetLastError(ERROR_INVALID_FUNCTION);
        return ok;
    });
    CxAdapterFind find;
    qvsim::AdapterList list(0, sizeof(IP_ADAPTER_INFO));  // no adapter: ERROR_NO_DATA
    EXPECT_EQ(0, find.FindAdapter());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_DATA), GetLastError());
    list.SetCount(1);  // and a success after it
    EXPECT_EQ(1, find.FindAdapter());

    // The list grows on every call: the overflow after the last try.
    qvtest::Hook<os::GetAdaptersInfo> growing([](PIP_ADAPTER_INFO, PULONG len) -> ULONG {
        *len += 64;
        return ERROR_BUFFER_OVERFLOW;
    });
    EXPECT_EQ(0, find.FindAdapter());
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUFFER_OVERFLOW), GetLastError());

    qvtest::Hook<os::HeapAlloc> noMemory([](HANDLE, DWORD, SIZE_T) -> LPVOID { return nullptr; });
    SetLastError(ERROR_INVALID_FUNCTION);
    EXPECT_EQ(0, find.FindAdapter());
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
}
