// A simulated local network, plugged into the library's platform layer.
//
// While a HostNet lives:
// - gethostname gives "qv-sim-host", and gethostbyname of that name (or of
//   the empty name, or of a name added with AddName) gives an entry of the
//   simulated addresses. Like the socket library's per-thread entry, every
//   such lookup rewrites one and the same entry, so a lookup replaces what
//   an earlier one returned. Other names go to the system.
// - SendARP never reaches the system: a destination that is a simulated
//   host answers with its MAC address after its delay; any other
//   destination fails with ERROR_BAD_NET_NAME (or the error set with
//   SetMissError) after the miss delay. Every probe is counted.
// - gethostbyaddr of an address of the simulated subnet gives the host's
//   name, or fails with WSANO_DATA for a host without one (and for an
//   address without a host); other addresses go to the system.
// The subnet is the first three octets of the first local address. One
// HostNet may live at a time.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

namespace qvsim {

// Windows Sockets started for the lifetime of the object.
struct Sockets {
    Sockets() : ok(WSAStartup(MAKEWORD(2, 2), &data) == 0) {}
    ~Sockets() {
        if (ok) WSACleanup();
    }
    WSADATA data = {};
    bool ok;
};

class HostNet {
public:
    explicit HostNet(std::vector<std::string> localAddresses = {"10.77.5.23"});
    ~HostNet();
    HostNet(const HostNet&) = delete;
    HostNet& operator=(const HostNet&) = delete;

    // A host at last octet uOctet that answers every probe after dwDelayMs.
    // An empty name makes its reverse lookup fail.
    void AddHost(unsigned uOctet, unsigned long long ullMac, const std::string& name = "",
                 DWORD dwDelayMs = 0);
    // The host answers this many more probes, then no longer (the scan's
    // probe and not the second one: 1).
    void LimitAnswers(unsigned uOctet, int nAnswers);
    // How long a probe without an answer takes (default 0).
    void SetMissDelay(DWORD dwDelayMs);
    // What a probe without an answer returns (default ERROR_BAD_NET_NAME;
    // ERROR_NOT_SUPPORTED is a system that cannot send ARP requests). With
    // uOctet, for that last octet only; it then wins over the default.
    void SetMissError(DWORD dwError);
    void SetMissError(unsigned uOctet, DWORD dwError);
    // Another name that gethostbyname resolves, to the given addresses.
    void AddName(const std::string& name, std::vector<std::string> addresses);
    // Replaces the local host's addresses (an empty list: the lookup fails).
    void SetLocalAddresses(std::vector<std::string> addresses);

    int Probes(unsigned uOctet) const;   // SendARP calls for that last octet
    int TotalProbes() const;
    int ForeignProbes() const;           // SendARP calls outside the subnet
    int MaxConcurrentProbes() const;     // most probes running at one time
    int ProbingThreads() const;          // distinct threads that probed
    int ReverseLookups() const;
    void ResetCounts();
};

}  // namespace qvsim
