#include "sim/sim_hosts.h"

#include <cassert>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/os.h"

namespace os = quorvel::os;

namespace qvsim {
namespace {

const char kHostName[] = "qv-sim-host";

struct SimHost {
    unsigned long long mac = 0;
    std::string name;
    DWORD delay = 0;
    int answersLeft = -1;  // -1: no limit
    int probes = 0;
};

struct State {
    std::mutex mutex;
    std::vector<ULONG> local;                       // network order
    std::map<std::string, std::vector<ULONG>> names;
    std::map<unsigned, SimHost> hosts;
    DWORD missDelay = 0;
    DWORD missError = ERROR_BAD_NET_NAME;
    std::map<unsigned, DWORD> missErrors;  // by last octet
    int missProbes[256] = {};
    int totalProbes = 0;
    int foreignProbes = 0;
    int running = 0;
    int maxRunning = 0;
    int reverse = 0;
    std::set<DWORD> threads;  // that probed

    // The one entry that every simulated lookup rewrites.
    hostent entry = {};
    std::vector<ULONG> entryAddrs;
    std::vector<char*> entryList;
    char entryName[256] = {};
    char reverseName[1024] = {};
    hostent reverseEntry = {};

    decltype(os::gethostname) realGethostname = nullptr;
    decltype(os::gethostbyname) realGethostbyname = nullptr;
    decltype(os::gethostbyaddr) realGethostbyaddr = nullptr;
    decltype(os::SendARP) realSendARP = nullptr;

    bool InSubnet(ULONG addr) const {
        return !local.empty() && std::memcmp(&addr, &local[0], 3) == 0;
    }
};

State* g_state = nullptr;

std::vector<ULONG> Parse(const std::vector<std::string>& texts) {
    std::vector<ULONG> out;
    for (const auto& text : texts) out.push_back(inet_addr(text.c_str()));
    return out;
}

int WSAAPI SimGethostname(char* name, int namelen) {
    if (!name || namelen <= static_cast<int>(sizeof kHostName)) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::memcpy(name, kHostName, sizeof kHostName);
    return 0;
}

hostent* WSAAPI SimGethostbyname(const char* name) {
    State& s = *g_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    const std::vector<ULONG>* addrs = nullptr;
    std::string key = name ? name : "";
    if (key.empty() || key == kHostName) {
        addrs = &s.local;
        key = kHostName;
    } else {
        auto it = s.names.find(key);
        if (it == s.names.end()) {
            lock.unlock();
            return s.realGethostbyname(name);
        }
        addrs = &it->second;
    }
    if (addrs->empty()) {
        WSASetLastError(WSAHOST_NOT_FOUND);
        return nullptr;
    }
    s.entryAddrs = *addrs;
    s.entryList.clear();
    for (auto& a : s.entryAddrs) s.entryList.push_back(reinterpret_cast<char*>(&a));
    s.entryList.push_back(nullptr);
    std::strncpy(s.entryName, key.c_str(), sizeof s.entryName - 1);
    s.entry.h_name = s.entryName;
    s.entry.h_aliases = nullptr;
    s.entry.h_addrtype = AF_INET;
    s.entry.h_length = 4;
    s.entry.h_addr_list = s.entryList.data();
    return &s.entry;
}

hostent* WSAAPI SimGethostbyaddr(const char* addr, int len, int type) {
    State& s = *g_state;
    std::unique_lock<std::mutex> lock(s.mutex);
    ULONG a = 0;
    if (addr && len == 4 && type == AF_INET) std::memcpy(&a, addr, 4);
    if (!s.InSubnet(a)) {
        lock.unlock();
        return s.realGethostbyaddr(addr, len, type);
    }
    ++s.reverse;
    auto it = s.hosts.find(reinterpret_cast<const unsigned char*>(&a)[3]);
    if (it == s.hosts.end() || it->second.name.empty()) {
        WSASetLastError(WSANO_DATA);
        return nullptr;
    }
    std::strncpy(s.reverseName, it->second.name.c_str(), sizeof s.reverseName - 1);
    s.reverseName[sizeof s.reverseName - 1] = '\0';
    s.reverseEntry.h_name = s.reverseName;
    s.reverseEntry.h_addrtype = AF_INET;
    s.reverseEntry.h_length = 4;
    s.reverseEntry.h_addr_list = nullptr;
    return &s.reverseEntry;
}

DWORD WINAPI SimSendARP(IPAddr dest, IPAddr /*source*/, PVOID pMac, PULONG pLen) {
    State& s = *g_state;
    DWORD delay = 0;
    bool answer = false;
    unsigned long long mac = 0;
    DWORD missError = ERROR_BAD_NET_NAME;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        ++s.totalProbes;
        s.threads.insert(GetCurrentThreadId());
        if (++s.running > s.maxRunning) s.maxRunning = s.running;
        unsigned octet = reinterpret_cast<const unsigned char*>(&dest)[3];
        auto error = s.missErrors.find(octet);
        missError = error != s.missErrors.end() ? error->second : s.missError;
        if (!s.InSubnet(dest)) {
            ++s.foreignProbes;
        } else {
            auto it = s.hosts.find(octet);
            if (it == s.hosts.end()) {
                ++s.missProbes[octet];
            } else {
                SimHost& host = it->second;
                ++host.probes;
                if (host.answersLeft != 0) {
                    if (host.answersLeft > 0) --host.answersLeft;
                    answer = true;
                    mac = host.mac;
                    delay = host.delay;
                }
            }
        }
        if (!answer) delay = s.missDelay;
    }
    if (delay) Sleep(delay);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        --s.running;
    }
    if (!answer) return missError;
    if (!pMac || !pLen || *pLen < 6) return ERROR_INVALID_PARAMETER;
    std::memcpy(pMac, &mac, 6);
    *pLen = 6;
    return NO_ERROR;
}

}  // namespace

HostNet::HostNet(std::vector<std::string> localAddresses) {
    assert(!g_state && "one HostNet at a time");
    g_state = new State;
    g_state->local = Parse(localAddresses);
    g_state->realGethostname = os::gethostname;
    g_state->realGethostbyname = os::gethostbyname;
    g_state->realGethostbyaddr = os::gethostbyaddr;
    g_state->realSendARP = os::SendARP;
    os::gethostname = &SimGethostname;
    os::gethostbyname = &SimGethostbyname;
    os::gethostbyaddr = &SimGethostbyaddr;
    os::SendARP = &SimSendARP;
}

HostNet::~HostNet() {
    os::gethostname = g_state->realGethostname;
    os::gethostbyname = g_state->realGethostbyname;
    os::gethostbyaddr = g_state->realGethostbyaddr;
    os::SendARP = g_state->realSendARP;
    delete g_state;
    g_state = nullptr;
}

void HostNet::AddHost(unsigned uOctet, unsigned long long ullMac, const std::string& name,
                      DWORD dwDelayMs) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    SimHost& host = g_state->hosts[uOctet & 0xFF];
    host.mac = ullMac;
    host.name = name;
    host.delay = dwDelayMs;
}

void HostNet::LimitAnswers(unsigned uOctet, int nAnswers) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    g_state->hosts[uOctet & 0xFF].answersLeft = nAnswers;
}

void HostNet::SetMissDelay(DWORD dwDelayMs) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    g_state->missDelay = dwDelayMs;
}

void HostNet::SetMissError(DWORD dwError) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    g_state->missError = dwError;
}

void HostNet::SetMissError(unsigned uOctet, DWORD dwError) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    g_state->missErrors[uOctet & 0xFF] = dwError;
}

void HostNet::AddName(const std::string& name, std::vector<std::string> addresses) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    g_state->names[name] = Parse(addresses);
}

void HostNet::SetLocalAddresses(std::vector<std::string> addresses) {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    g_state->local = Parse(addresses);
}

int HostNet::Probes(unsigned uOctet) const {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    auto it = g_state->hosts.find(uOctet & 0xFF);
    return it != g_state->hosts.end() ? it->second.probes : g_state->missProbes[uOctet & 0xFF];
}

int HostNet::TotalProbes() const {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    return g_state->totalProbes;
}

int HostNet::ForeignProbes() const {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    return g_state->foreignProbes;
}

int HostNet::MaxConcurrentProbes() const {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    return g_state->maxRunning;
}

int HostNet::ProbingThreads() const {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    return static_cast<int>(g_state->threads.size());
}

int HostNet::ReverseLookups() const {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    return g_state->reverse;
}

void HostNet::ResetCounts() {
    std::lock_guard<std::mutex> lock(g_state->mutex);
    State& s = *g_state;
    for (auto& h : s.hosts) h.second.probes = 0;
    std::memset(s.missProbes, 0, sizeof s.missProbes);
    s.totalProbes = s.foreignProbes = s.maxRunning = s.reverse = 0;
    s.threads.clear();
}

}  // namespace qvsim
