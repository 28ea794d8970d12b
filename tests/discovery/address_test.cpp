#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "quorvel/quorvel.h"
#include "tests/sim/sim_hosts.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;
using qvtest::Hook;

namespace {

// Starts and stops Windows Sockets around a test.
struct Sockets {
    Sockets() { EXPECT_EQ(1, SocketInit()); }
    ~Sockets() { SocketUnInit(); }
};

std::wstring AddrText(CxLocalHostIPAddrFind& find) {
    wchar_t text[64];
    std::fill(std::begin(text), std::end(text), L'Z');
    find.GetIPAddr(text);
    return text;
}

}  // namespace

TEST(AddressText, IsValidIPAddressRefusesOwnUnusableAddresses) {
    Sockets sockets;
    const wchar_t* valid[] = {L"10.0.0.1", L"192.168.1.20", L"224.0.0.1", L"10.0.0.1:80", L"8.8.4.4"};
    const wchar_t* refused[] = {L"127.0.0.1", L"169.254.3.4", L"169.1.2.3", L"0.0.0.0", L"0.1.2.3",
                                L"255.255.255.255", L"", L"abc", L"256.1.1.1", L" 10.0.0.1"};
    for (auto text : valid) EXPECT_EQ(1, IsValidIPAddress(text)) << text;
    for (auto text : refused) EXPECT_EQ(0, IsValidIPAddress(text)) << text;
    EXPECT_EQ(0, IsValidIPAddress(nullptr));
    std::wstring huge = L"10.0.0.1" + std::wstring(400, L' ');
    EXPECT_EQ(0, IsValidIPAddress(huge.c_str()));
}

TEST(AddressText, MacTextRoundTripsAndNeverOverruns) {
    unsigned long long mac = 0x0000665544332211ULL;
    wchar_t text[48];
    MacAddressToString(&mac, text, 48);
    EXPECT_STREQ(L"11-22-33-44-55-66", text);
    unsigned long long back = 0xFFFFFFFFFFFFFFFFULL;
    StringToMacAddress(text, &back);
    EXPECT_EQ(mac, back);

    // The two high bytes are not part of the address.
    unsigned long long high = 0xFFFF000000000001ULL, low = 1;
    MacAddressToString(&high, text, 18);
    EXPECT_STREQ(L"01-00-00-00-00-00", text);
    MacAddressToString(&low, text, 48);
    EXPECT_STREQ(L"01-00-00-00-00-00", text);

    unsigned long long upper = 0, lower = 0, single = 0;
    StringToMacAddress(L"AA-BB-CC-DD-EE-FF", &upper);
    StringToMacAddress(L"aa-bb-cc-dd-ee-ff", &lower);
    EXPECT_EQ(0x0000FFEEDDCCBBAAULL, upper);
    EXPECT_EQ(upper, lower);
    StringToMacAddress(L"1-2-3-4-5-6", &single);
    EXPECT_EQ(0x0000060504030201ULL, single);
    StringToMacAddress(L" 1- 2-3-4-5-0a", &single);
    EXPECT_EQ(0x00000A0504030201ULL, single);

    // Text that matches only in part: the fields after the mismatch are 0.
    unsigned long long part = ~0ULL;
    StringToMacAddress(L"11-22-xx-44-55-66", &part);
    EXPECT_EQ(0x0000000000002211ULL, part);
    StringToMacAddress(L"11:22:33:44:55:66", &part);
    EXPECT_EQ(0x11ULL, part);
    StringToMacAddress(L"", &part);
    EXPECT_EQ(0ULL, part);
    StringToMacAddress(nullptr, &part);
    EXPECT_EQ(0ULL, part);
    StringToMacAddress(L"11-22-33-44-55-66", nullptr);

    // A capacity below 18 gets the empty string and nothing past it.
    for (unsigned long cch : {1ul, 10ul, 17ul}) {
        wchar_t guard[24];
        std::fill(std::begin(guard), std::end(guard), L'Z');
        MacAddressToString(&mac, guard, cch);
        EXPECT_EQ(L'\0', guard[0]) << cch;
        for (unsigned long i = 1; i < 24; ++i) EXPECT_EQ(L'Z', guard[i]) << cch << " " << i;
    }
    wchar_t untouched[4] = L"abc";
    MacAddressToString(&mac, untouched, 0);
    EXPECT_STREQ(L"abc", untouched);
    MacAddressToString(nullptr, untouched, 48);
    MacAddressToString(&mac, nullptr, 48);
    EXPECT_STREQ(L"abc", untouched);
}

TEST(AddressText, GetIPAddrByDomainNameResolvesOrLeavesTheBufferAlone) {
    Sockets sockets;
    wchar_t addr[64] = {};
    EXPECT_EQ(1, GetIPAddrByDomainName(L"10.1.2.3", addr));
    EXPECT_STREQ(L"10.1.2.3", addr);
    EXPECT_EQ(1, GetIPAddrByDomainName(L"localhost", addr));
    EXPECT_STREQ(L"127.0.0.1", addr);

    // An unknown name (injected: no name service is asked).
    std::string asked;
    Hook<os::gethostbyname> unknown([&](const char* name) -> hostent* {
        asked = name;
        os::WSASetLastError(WSAHOST_NOT_FOUND);
        return nullptr;
    });
    wcscpy(addr, L"untouched");
    EXPECT_EQ(0, GetIPAddrByDomainName(L"no-such-host.invalid", addr));
    EXPECT_STREQ(L"untouched", addr);
    EXPECT_EQ(10022u, SocketGetLastError());
    EXPECT_EQ("no-such-host.invalid", asked);
    std::wstring longName(400, L'a');
    EXPECT_EQ(0, GetIPAddrByDomainName(longName.c_str(), addr));
    EXPECT_EQ(std::string(259, 'a'), asked);  // cut, terminated
    EXPECT_EQ(0, GetIPAddrByDomainName(nullptr, addr));
    EXPECT_EQ(0, GetIPAddrByDomainName(L"localhost", nullptr));
    EXPECT_EQ(10022u, SocketGetLastError());
}

TEST(LocalHost, WalkKeepsItsAddressesWhateverTheThreadLooksUpMeanwhile) {
    Sockets sockets;
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
    EXPECT_EQ(L"192.168.3.4", AddrText(find));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, find.FindNextIPAddr());
    EXPECT_EQ(L"192.168.3.4", AddrText(find));
    // The copy walks on by itself from where it was made.
    ASSERT_EQ(1, copy.FindNextIPAddr());
    EXPECT_EQ(L"10.77.5.23", AddrText(copy));
    copy.FindIPAddrClose();
    EXPECT_EQ(0, copy.FindNextIPAddr());  // closed
    EXPECT_EQ(L"10.77.5.23", AddrText(copy));
    find.GetIPAddr(nullptr);

    wchar_t addr[64] = {};
    EXPECT_EQ(1, GetFirstValidIPAddress(addr));  // the link-local address comes first
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
    EXPECT_EQ(0, GetFirstValidIPAddress(nullptr));
}

TEST(LocalHost, RealLookupGivesParsableAddresses) {
    Sockets sockets;
    CxLocalHostIPAddrFind find;
    int n = 0;
    for (int ok = find.FindIPAddr(); ok; ok = find.FindNextIPAddr(), ++n) {
        SOCKADDR_IN sa = {};
        INT len = sizeof sa;
        std::wstring text = AddrText(find);
        EXPECT_NE(SOCKET_ERROR, WSAStringToAddressW(&text[0], AF_INET, nullptr,
                                                    reinterpret_cast<SOCKADDR*>(&sa), &len))
            << std::string(text.begin(), text.end());
    }
    RecordProperty("addresses", n);
}

namespace {

// The records GetAdaptersInfo would write, laid out stride bytes apart in
// the caller's block, each named "adapter<i>".
DWORD FillAdapters(PIP_ADAPTER_INFO block, PULONG len, int count, size_t stride) {
    size_t needed = stride * static_cast<size_t>(count - 1) +
                    std::min(stride, sizeof(IP_ADAPTER_INFO));
    if (*len < needed) {
        *len = static_cast<ULONG>(needed);
        return ERROR_BUFFER_OVERFLOW;
    }
    auto* base = reinterpret_cast<BYTE*>(block);
    for (int i = 0; i < count; ++i) {
        IP_ADAPTER_INFO info = {};
        info.Index = static_cast<DWORD>(i + 1);
        sprintf(info.AdapterName, "adapter%d", i);
        info.AddressLength = 6;
        info.Address[5] = static_cast<BYTE>(i);
        info.Next = i + 1 < count ? reinterpret_cast<PIP_ADAPTER_INFO>(base + stride * (i + 1)) : nullptr;
        std::memcpy(base + stride * i, &info, std::min(stride, sizeof info));
    }
    return NO_ERROR;
}

// Heap blocks that end at a page followed by an inaccessible one, so a read
// past the block faults.
struct GuardedHeap {
    std::vector<std::pair<void*, BYTE*>> blocks;  // user pointer, region
    Hook<os::HeapAlloc> alloc{[this](HANDLE, DWORD, SIZE_T size) -> LPVOID {
        SIZE_T pages = (size + 4095) / 4096 + 1;
        auto* region = static_cast<BYTE*>(VirtualAlloc(nullptr, pages * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(region + (pages - 1) * 4096, 4096, PAGE_NOACCESS, &old);
        void* user = region + (pages - 1) * 4096 - size;
        std::memset(user, 0, size);
        blocks.emplace_back(user, region);
        return user;
    }};
    Hook<os::HeapFree> free{[this](HANDLE, DWORD, LPVOID p) -> BOOL {
        for (auto it = blocks.begin(); it != blocks.end(); ++it) {
            if (it->first == p) {
                VirtualFree(it->second, 0, MEM_RELEASE);
                blocks.erase(it);
                return TRUE;
            }
        }
        ADD_FAILURE() << "freed a block it does not hold";
        return FALSE;
    }};
};

std::string Name(CxAdapterFind& find) {
    IP_ADAPTER_INFO info;
    std::memset(&info, 0xCC, sizeof info);
    find.GetAdapterInfo(&info);
    return info.AdapterName;
}

}  // namespace

TEST(Adapters, ListsWhatThePlatformReports) {
    ULONG len = 0;
    DWORD first = GetAdaptersInfo(nullptr, &len);
    std::vector<std::string> expected;
    std::vector<BYTE> block(len ? len : 1);
    if (first == ERROR_BUFFER_OVERFLOW &&
        GetAdaptersInfo(reinterpret_cast<PIP_ADAPTER_INFO>(block.data()), &len) == NO_ERROR) {
        for (auto* p = reinterpret_cast<PIP_ADAPTER_INFO>(block.data()); p; p = p->Next) {
            expected.push_back(p->AdapterName);
        }
    }
    CxAdapterFind find;
    std::vector<std::string> listed;
    for (int ok = find.FindAdapter(); ok; ok = find.FindNextAdapter()) listed.push_back(Name(find));
    EXPECT_EQ(expected, listed);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, find.FindNextAdapter());
}

TEST(Adapters, InjectedListsFailuresAndCloseNeverLeadIntoFreedMemory) {
    GuardedHeap heap;
    int calls = 0;
    int count = 3;
    // Records closer together than the record (as Wine lays them out on x86),
    // the last one ending exactly at the end of the block.
    size_t stride = sizeof(IP_ADAPTER_INFO) - 8;
    Hook<os::GetAdaptersInfo> list([&](PIP_ADAPTER_INFO block, PULONG len) -> ULONG {
        ++calls;
        if (count == 0) return ERROR_NO_DATA;
        return FillAdapters(block, len, count, stride);
    });

    CxAdapterFind find;
    EXPECT_EQ(0, find.FindNextAdapter());  // a new finder
    find.FindAdapterClose();
    ASSERT_EQ(1, find.FindAdapter());
    EXPECT_EQ(2, calls);  // one overflow, then the list
    std::vector<std::string> names{Name(find)};
    while (find.FindNextAdapter()) names.push_back(Name(find));
    EXPECT_EQ((std::vector<std::string>{"adapter0", "adapter1", "adapter2"}), names);
    EXPECT_EQ(0, find.FindNextAdapter());
    IP_ADAPTER_INFO info = {};
    find.GetAdapterInfo(&info);
    EXPECT_EQ(3u, info.Index);
    EXPECT_EQ(2, info.Address[5]);

    // A second find holds only the new block.
    ASSERT_EQ(1, find.FindAdapter());
    EXPECT_EQ(1u, heap.blocks.size());
    ASSERT_EQ(1, find.FindNextAdapter());
    find.FindAdapterClose();
    EXPECT_TRUE(heap.blocks.empty());
    EXPECT_EQ(0, find.FindNextAdapter());  // after close: nothing read from the freed block
    find.GetAdapterInfo(&info);
    EXPECT_STREQ("adapter1", info.AdapterName);
    EXPECT_EQ(nullptr, info.Next);
    EXPECT_EQ(nullptr, info.IpAddressList.Next);
    find.GetAdapterInfo(nullptr);

    // No adapter: FALSE, nothing held, the walk stays ended.
    count = 0;
    EXPECT_EQ(0, find.FindAdapter());
    EXPECT_TRUE(heap.blocks.empty());
    EXPECT_EQ(0, find.FindNextAdapter());

    // A copy shares the block; only the owner frees it, once (freeing a
    // block twice fails the test in GuardedHeap).
    count = 2;
    {
        CxAdapterFind owner;
        ASSERT_EQ(1, owner.FindAdapter());
        CxAdapterFind copy(owner);
        {
            CxAdapterFind copy2;
            copy2 = owner;
            EXPECT_EQ(1, copy2.FindNextAdapter());
        }
        EXPECT_EQ(1u, heap.blocks.size());
        owner.FindAdapterClose();
        EXPECT_TRUE(heap.blocks.empty());
        EXPECT_EQ(0, copy.FindNextAdapter());
        copy.GetAdapterInfo(&info);
        EXPECT_STREQ("adapter0", info.AdapterName);
        EXPECT_EQ(nullptr, info.Next);
    }
    EXPECT_TRUE(heap.blocks.empty());
}
