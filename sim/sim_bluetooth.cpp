#include "sim/sim_bluetooth.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <cwchar>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "platform/os.h"

namespace os = quorvel::os;

namespace qvsim {
namespace {

// The system's operations as they were before the stack was installed.
struct Real {
#define QV_SIM_REAL(name) decltype(quorvel::os::name) name = nullptr;
    QV_OS_ALL(QV_SIM_REAL)
#undef QV_SIM_REAL
};

struct Radio {
    BTH_ADDR address = 0;
    std::wstring name;
    ULONG classOfDevice = 0;
    bool discoverable = false;
    bool connectable = false;
    std::vector<BthDevice> devices;
};

enum class Kind { kRadio, kRadioFind, kDeviceFind, kLookup, kRegistration };

struct Registration {
    BTH_ADDR address;  // 0: every device
    os::AuthenticationCallback callback;  // called as the system calls it
    void* param;
};

struct Entry {
    Kind kind;
    int radio = -1;                   // kRadio
    size_t next = 0;                  // kRadioFind, kDeviceFind, kLookup: next position
    std::vector<BthDevice> devices;   // kDeviceFind, kLookup: the snapshot
    std::vector<BTH_ADDR> radioOf;    // kLookup: the radio address of each device
    Registration registration{};      // kRegistration
};

struct RfcommSocket {
    bool bound = false;
    bool connected = false;
    SOCKADDR_BTH local{};
    SOCKADDR_BTH peer{};
};

struct State {
    std::vector<Radio> radios;
    std::map<HANDLE, Entry> handles;
    std::set<HANDLE> released;
    int doubleReleases = 0;
    int closedUnderCalls = 0;  // radio handles closed while a call used them
    DWORD inquiryMs = 20;
    DWORD registerResult = ERROR_SUCCESS;
    std::vector<BLUETOOTH_DEVICE_SEARCH_PARAMS> searches;
    std::vector<DWORD> radioParamSizes;
    int removals = 0;
    std::map<BTH_ADDR, int> authCalls;
    int authCallsTotal = 0;
    std::wstring lastPasskey;
    ULONG lastPasskeyLength = 0;
    HANDLE lastAuthRadio = nullptr;
    int serviceStateCalls = 0;
    DWORD lastServiceFlags = 0;
    int unregisterCalls = 0;
    std::vector<HANDLE> unregistered;
    std::wstring lastResponsePasskey;
    HANDLE lastResponseRadio = nullptr;
    int lookupNextCalls = 0;
    DWORD lookupBeginFlags = 0, lookupNextFlags = 0;
    int callbacksUnderWay = 0;
    std::map<SOCKET, RfcommSocket> sockets;
    std::map<std::pair<BTH_ADDR, ULONG>, SOCKET> listeners;
    std::map<USHORT, SOCKADDR_BTH> clientEnds;  // a client's local TCP port -> its Bluetooth end
};

std::mutex g_mutex;
std::condition_variable g_callbackDone;
Real g_real;
State* g_state = nullptr;

using Lock = std::unique_lock<std::mutex>;

HANDLE NewHandle(Entry entry) {
    HANDLE h = g_real.CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (h) {
        g_state->released.erase(h);
        g_state->handles[h] = std::move(entry);
    }
    return h;
}

Entry* Find(HANDLE h, Kind kind) {
    auto it = g_state->handles.find(h);
    return it != g_state->handles.end() && it->second.kind == kind ? &it->second : nullptr;
}

// Ends a handle the stack handed out; false (and counted) when it was
// released already, or is no handle of this kind.
bool Release(HANDLE h, Kind kind) {
    auto it = g_state->handles.find(h);
    if (it == g_state->handles.end() || it->second.kind != kind) {
        if (g_state->released.count(h)) ++g_state->doubleReleases;
        g_real.SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    g_state->handles.erase(it);
    g_state->released.insert(h);
    g_real.CloseHandle(h);
    return true;
}

// The radios a call addresses: all of them for NULL, else the one of the
// handle; false for a handle that is no open radio.
bool RadiosOf(HANDLE hRadio, std::vector<int>* radios) {
    radios->clear();
    if (!hRadio) {
        for (size_t i = 0; i < g_state->radios.size(); ++i) radios->push_back(static_cast<int>(i));
        return true;
    }
    Entry* e = Find(hRadio, Kind::kRadio);
    if (!e) return false;
    radios->push_back(e->radio);
    return true;
}

BthDevice* DeviceOn(const std::vector<int>& radios, BTH_ADDR address) {
    for (int r : radios) {
        for (BthDevice& d : g_state->radios[r].devices) {
            if (d.address == address) return &d;
        }
    }
    return nullptr;
}

BthDevice* AnyDevice(BTH_ADDR address) {
    for (Radio& r : g_state->radios) {
        for (BthDevice& d : r.devices) {
            if (d.address == address) return &d;
        }
    }
    return nullptr;
}

void FillDeviceInfo(const BthDevice& d, BLUETOOTH_DEVICE_INFO* info) {
    std::memset(info, 0, sizeof *info);
    info->dwSize = sizeof *info;
    info->Address.ullLong = d.address;
    info->ulClassofDevice = d.classOfDevice;
    info->fRemembered = d.remembered;
    info->fAuthenticated = d.paired;
    std::wcsncpy(info->szName, d.name.c_str(), BLUETOOTH_MAX_NAME_SIZE - 1);
}

// ---- radios

HBLUETOOTH_RADIO_FIND WINAPI SimFindFirstRadio(const BLUETOOTH_FIND_RADIO_PARAMS* params, HANDLE* phRadio) {
    Lock lock(g_mutex);
    g_state->radioParamSizes.push_back(params ? params->dwSize : 0);
    if (!params || params->dwSize != sizeof *params || !phRadio) {
        g_real.SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (g_state->radios.empty()) {
        g_real.SetLastError(ERROR_NO_MORE_ITEMS);
        return nullptr;
    }
    Entry find;
    find.kind = Kind::kRadioFind;
    find.next = 1;
    Entry radio;
    radio.kind = Kind::kRadio;
    radio.radio = 0;
    *phRadio = NewHandle(std::move(radio));
    return NewHandle(std::move(find));
}

BOOL WINAPI SimFindNextRadio(HBLUETOOTH_RADIO_FIND hFind, HANDLE* phRadio) {
    Lock lock(g_mutex);
    Entry* e = Find(hFind, Kind::kRadioFind);
    if (!e || !phRadio) {
        g_real.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (e->next >= g_state->radios.size()) {
        g_real.SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    Entry radio;
    radio.kind = Kind::kRadio;
    radio.radio = static_cast<int>(e->next++);
    *phRadio = NewHandle(std::move(radio));
    return TRUE;
}

BOOL WINAPI SimFindRadioClose(HBLUETOOTH_RADIO_FIND hFind) {
    Lock lock(g_mutex);
    return Release(hFind, Kind::kRadioFind);
}

BOOL WINAPI SimCloseHandle(HANDLE h) {
    {
        Lock lock(g_mutex);
        auto it = g_state->handles.find(h);
        if (it != g_state->handles.end() && it->second.kind == Kind::kRadio) {
            return Release(h, Kind::kRadio);
        }
        if (it == g_state->handles.end() && g_state->released.count(h)) {
            // Handle values are reused at once: a value the stack released
            // may name someone else's handle by now. Only a close the
            // system refuses is a second release.
            g_state->released.erase(h);
            if (g_real.CloseHandle(h)) return TRUE;
            ++g_state->doubleReleases;
            g_real.SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    return g_real.CloseHandle(h);
}

// A copy of a radio handle is a radio handle of its own.
BOOL WINAPI SimDuplicateHandle(HANDLE hFromProcess, HANDLE h, HANDLE hToProcess, HANDLE* phCopy,
                               DWORD access, BOOL inherit, DWORD options) {
    if (!g_real.DuplicateHandle(hFromProcess, h, hToProcess, phCopy, access, inherit, options)) {
        return FALSE;
    }
    Lock lock(g_mutex);
    if (Entry* e = Find(h, Kind::kRadio)) {
        Entry copy;
        copy.kind = Kind::kRadio;
        copy.radio = e->radio;
        g_state->released.erase(*phCopy);
        g_state->handles[*phCopy] = std::move(copy);
    }
    return TRUE;
}

DWORD WINAPI SimGetRadioInfo(HANDLE hRadio, BLUETOOTH_RADIO_INFO* info) {
    Lock lock(g_mutex);
    Entry* e = Find(hRadio, Kind::kRadio);
    if (!e) return ERROR_INVALID_HANDLE;
    if (!info) return ERROR_INVALID_PARAMETER;
    if (info->dwSize != sizeof *info) return ERROR_REVISION_MISMATCH;
    const Radio& r = g_state->radios[e->radio];
    std::memset(info, 0, sizeof *info);
    info->dwSize = sizeof *info;
    info->address.ullLong = r.address;
    std::wcsncpy(info->szName, r.name.c_str(), BLUETOOTH_MAX_NAME_SIZE - 1);
    info->ulClassofDevice = r.classOfDevice;
    return ERROR_SUCCESS;
}

BOOL WINAPI SimEnableDiscovery(HANDLE hRadio, BOOL fEnabled) {
    Lock lock(g_mutex);
    std::vector<int> radios;
    if (!RadiosOf(hRadio, &radios) || radios.empty()) {
        g_real.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (int r : radios) g_state->radios[r].discoverable = fEnabled != FALSE;
    return TRUE;
}

BOOL WINAPI SimEnableIncomingConnections(HANDLE hRadio, BOOL fEnabled) {
    Lock lock(g_mutex);
    std::vector<int> radios;
    if (!RadiosOf(hRadio, &radios) || radios.empty()) {
        g_real.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    for (int r : radios) g_state->radios[r].connectable = fEnabled != FALSE;
    return TRUE;
}

// ---- device searches

HBLUETOOTH_DEVICE_FIND WINAPI SimFindFirstDevice(const BLUETOOTH_DEVICE_SEARCH_PARAMS* params,
                                                 BLUETOOTH_DEVICE_INFO* info) {
    DWORD inquiry = 0;
    std::vector<BthDevice> found;
    {
        Lock lock(g_mutex);
        if (params) g_state->searches.push_back(*params);
        if (!params || !info || params->dwSize != sizeof *params || info->dwSize != sizeof *info) {
            g_real.SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        std::vector<int> radios;
        if (!RadiosOf(params->hRadio, &radios)) {
            g_real.SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        for (int r : radios) {
            for (const BthDevice& d : g_state->radios[r].devices) {
                bool take = (params->fReturnRemembered && d.remembered) ||
                            (params->fReturnAuthenticated && d.paired) ||
                            (params->fReturnUnknown && params->fIssueInquiry && !d.remembered &&
                             d.inRange);
                if (take) found.push_back(d);
            }
        }
        if (params->fIssueInquiry) inquiry = g_state->inquiryMs;
    }
    if (inquiry) g_real.Sleep(inquiry);
    Lock lock(g_mutex);
    if (params->hRadio && !Find(params->hRadio, Kind::kRadio)) ++g_state->closedUnderCalls;
    if (found.empty()) {
        g_real.SetLastError(ERROR_NO_MORE_ITEMS);
        return nullptr;
    }
    FillDeviceInfo(found[0], info);
    Entry search;
    search.kind = Kind::kDeviceFind;
    search.next = 1;
    search.devices = std::move(found);
    return NewHandle(std::move(search));
}

BOOL WINAPI SimFindNextDevice(HBLUETOOTH_DEVICE_FIND hFind, BLUETOOTH_DEVICE_INFO* info) {
    Lock lock(g_mutex);
    Entry* e = Find(hFind, Kind::kDeviceFind);
    if (!e || !info) {
        g_real.SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (e->next >= e->devices.size()) {
        g_real.SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    FillDeviceInfo(e->devices[e->next++], info);
    return TRUE;
}

BOOL WINAPI SimFindDeviceClose(HBLUETOOTH_DEVICE_FIND hFind) {
    Lock lock(g_mutex);
    return Release(hFind, Kind::kDeviceFind);
}

DWORD WINAPI SimRemoveDevice(const BLUETOOTH_ADDRESS* address) {
    Lock lock(g_mutex);
    ++g_state->removals;
    BthDevice* d = address ? AnyDevice(address->ullLong) : nullptr;
    if (!d || !d->remembered) return ERROR_NOT_FOUND;
    d->remembered = false;
    d->paired = false;
    return ERROR_SUCCESS;
}

// ---- pairing and services

DWORD WINAPI SimAuthenticateDevice(HWND, HANDLE hRadio, BLUETOOTH_DEVICE_INFO* info,
                                   PWSTR passkey, ULONG length) {
    Lock lock(g_mutex);
    ++g_state->authCallsTotal;
    g_state->lastAuthRadio = hRadio;
    g_state->lastPasskeyLength = length;
    g_state->lastPasskey = passkey ? std::wstring(passkey, length) : std::wstring();
    std::vector<int> radios;
    if (!RadiosOf(hRadio, &radios)) return ERROR_INVALID_HANDLE;
    if (!info) return ERROR_INVALID_PARAMETER;
    BthDevice* d = DeviceOn(radios, info->Address.ullLong);
    if (!d) return ERROR_NOT_FOUND;
    int call = ++g_state->authCalls[d->address];
    DWORD answer = 0;
    if (!d->authAnswers.empty()) {
        answer = d->authAnswers[std::min<size_t>(call - 1, d->authAnswers.size() - 1)];
    }
    if (answer == ERROR_SUCCESS) {
        d->paired = true;
        d->remembered = true;
        info->fAuthenticated = TRUE;
    }
    return answer;
}

DWORD WINAPI SimEnumerateInstalledServices(HANDLE hRadio, const BLUETOOTH_DEVICE_INFO* info,
                                           DWORD* pcServices, GUID* guids) {
    Lock lock(g_mutex);
    std::vector<int> radios;
    if (!RadiosOf(hRadio, &radios)) return ERROR_INVALID_HANDLE;
    if (!info || !pcServices) return ERROR_INVALID_PARAMETER;
    BthDevice* d = DeviceOn(radios, info->Address.ullLong);
    if (!d) {
        *pcServices = 0;
        return ERROR_NOT_FOUND;
    }
    DWORD room = guids ? *pcServices : 0;
    DWORD count = static_cast<DWORD>(d->services.size());
    for (DWORD i = 0; i < count && i < room; ++i) guids[i] = d->services[i];
    *pcServices = count;
    return count > room ? ERROR_MORE_DATA : ERROR_SUCCESS;
}

DWORD WINAPI SimSetServiceState(HANDLE hRadio, const BLUETOOTH_DEVICE_INFO* info, const GUID* service,
                                DWORD flags) {
    Lock lock(g_mutex);
    ++g_state->serviceStateCalls;
    g_state->lastServiceFlags = flags;
    std::vector<int> radios;
    if (!RadiosOf(hRadio, &radios)) return ERROR_INVALID_HANDLE;
    if (!info || !service) return ERROR_INVALID_PARAMETER;
    BthDevice* d = DeviceOn(radios, info->Address.ullLong);
    if (!d) return ERROR_NOT_FOUND;
    auto it = std::find_if(d->services.begin(), d->services.end(),
                           [&](const GUID& g) { return IsEqualGUID(g, *service); });
    if (flags & BLUETOOTH_SERVICE_ENABLE) {
        if (it == d->services.end()) d->services.push_back(*service);
    } else if (it != d->services.end()) {
        d->services.erase(it);
    }
    return ERROR_SUCCESS;
}

DWORD WINAPI SimRegisterForAuthentication(const BLUETOOTH_DEVICE_INFO* info,
                                          HBLUETOOTH_AUTHENTICATION_REGISTRATION* phReg,
                                          os::AuthenticationCallback callback, PVOID param) {
    Lock lock(g_mutex);
    if (!phReg || !callback) return ERROR_INVALID_PARAMETER;
    if (g_state->registerResult != ERROR_SUCCESS) return g_state->registerResult;
    Entry entry;
    entry.kind = Kind::kRegistration;
    entry.registration = {info ? info->Address.ullLong : 0, callback, param};
    *phReg = NewHandle(std::move(entry));
    return ERROR_SUCCESS;
}

BOOL WINAPI SimUnregisterAuthentication(HBLUETOOTH_AUTHENTICATION_REGISTRATION hReg) {
    Lock lock(g_mutex);
    ++g_state->unregisterCalls;
    g_state->unregistered.push_back(hReg);
    // A callback under way finishes before the registration ends.
    g_callbackDone.wait(lock, [] { return g_state->callbacksUnderWay == 0; });
    return Release(hReg, Kind::kRegistration);
}

DWORD WINAPI SimSendAuthenticationResponse(HANDLE hRadio, const BLUETOOTH_DEVICE_INFO* info,
                                           LPCWSTR passkey) {
    Lock lock(g_mutex);
    g_state->lastResponseRadio = hRadio;
    g_state->lastResponsePasskey.clear();
    if (passkey) {
        size_t n = 0;
        while (n < 16 && passkey[n]) ++n;
        g_state->lastResponsePasskey.assign(passkey, n);
    }
    std::vector<int> radios;
    if (!RadiosOf(hRadio, &radios)) return ERROR_INVALID_HANDLE;
    BthDevice* d = info ? DeviceOn(radios, info->Address.ullLong) : nullptr;
    if (!d) return ERROR_NOT_FOUND;
    if (g_state->lastResponsePasskey != d->passkey) return ERROR_NOT_AUTHENTICATED;
    d->paired = true;
    d->remembered = true;
    return ERROR_SUCCESS;
}

// ---- address text

bool ParseText(const wchar_t* text, BTH_ADDR* address) {
    if (!text) return false;
    const wchar_t* p = text;
    bool paren = *p == L'(';
    if (paren) ++p;
    BTH_ADDR value = 0;
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 2; ++j) {
            wchar_t c = *p++;
            int digit = c >= L'0' && c <= L'9'   ? c - L'0'
                        : c >= L'A' && c <= L'F' ? c - L'A' + 10
                        : c >= L'a' && c <= L'f' ? c - L'a' + 10
                                                 : -1;
            if (digit < 0) return false;
            value = (value << 4) | static_cast<BTH_ADDR>(digit);
        }
        if (i < 5 && *p++ != L':') return false;
    }
    if (paren && *p++ != L')') return false;
    if (*p) return false;
    *address = value;
    return true;
}

std::wstring Render(const SOCKADDR_BTH& sa) {
    std::wstring text = BthText(sa.btAddr);
    static const GUID kZero = {};
    if (!IsEqualGUID(sa.serviceClassId, kZero)) {
        wchar_t guid[40];
        const GUID& g = sa.serviceClassId;
        swprintf(guid, 40, L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                 static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                 g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
        text += guid;
    }
    if (sa.port) text += L":" + std::to_wstring(sa.port);
    return text;
}

INT WINAPI SimStringToAddressW(LPWSTR text, INT family, LPWSAPROTOCOL_INFOW info, LPSOCKADDR addr,
                               LPINT length) {
    if (family != AF_BTH) return g_real.WSAStringToAddressW(text, family, info, addr, length);
    BTH_ADDR address = 0;
    if (!ParseText(text, &address)) {
        g_real.WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (!addr || !length || *length < static_cast<INT>(sizeof(SOCKADDR_BTH))) {
        if (length) *length = sizeof(SOCKADDR_BTH);
        g_real.WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    SOCKADDR_BTH sa;
    std::memset(&sa, 0, sizeof sa);
    sa.addressFamily = AF_BTH;
    sa.btAddr = address;
    std::memcpy(addr, &sa, sizeof sa);
    *length = sizeof sa;
    return 0;
}

INT WINAPI SimAddressToStringW(LPSOCKADDR addr, DWORD length, LPWSAPROTOCOL_INFOW info,
                               LPWSTR text, LPDWORD textLength) {
    if (!addr || addr->sa_family != AF_BTH) {
        return g_real.WSAAddressToStringW(addr, length, info, text, textLength);
    }
    if (length < sizeof(SOCKADDR_BTH) || !textLength) {
        g_real.WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    SOCKADDR_BTH sa;
    std::memcpy(&sa, addr, sizeof sa);
    std::wstring rendered = Render(sa);
    DWORD need = static_cast<DWORD>(rendered.size() + 1);
    if (!text || *textLength < need) {
        *textLength = need;
        g_real.WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::memcpy(text, rendered.c_str(), need * sizeof(wchar_t));
    *textLength = need;
    return 0;
}

// ---- name space

INT WINAPI SimLookupServiceBeginW(LPWSAQUERYSETW query, DWORD flags, LPHANDLE phLookup) {
    if (!query || query->dwNameSpace != NS_BTH) {
        return g_real.WSALookupServiceBeginW(query, flags, phLookup);
    }
    Lock lock(g_mutex);
    g_state->lookupBeginFlags = flags;
    if (!phLookup || query->dwSize != sizeof *query) {
        g_real.WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (g_state->radios.empty()) {
        g_real.WSASetLastError(WSASERVICE_NOT_FOUND);
        return SOCKET_ERROR;
    }
    Entry lookup;
    lookup.kind = Kind::kLookup;
    for (const Radio& r : g_state->radios) {
        for (const BthDevice& d : r.devices) {
            if (d.inRange || d.remembered) {
                lookup.devices.push_back(d);
                lookup.radioOf.push_back(r.address);
            }
        }
    }
    *phLookup = NewHandle(std::move(lookup));
    return 0;
}

size_t Align(size_t n) { return (n + 7) & ~size_t(7); }

INT WINAPI SimLookupServiceNextW(HANDLE hLookup, DWORD flags, LPDWORD length,
                                 LPWSAQUERYSETW results) {
    Lock lock(g_mutex);
    Entry* e = Find(hLookup, Kind::kLookup);
    if (!e) {
        lock.unlock();
        return g_real.WSALookupServiceNextW(hLookup, flags, length, results);
    }
    ++g_state->lookupNextCalls;
    g_state->lookupNextFlags = flags;
    if (e->next >= e->devices.size()) {
        g_real.WSASetLastError(WSA_E_NO_MORE);
        return SOCKET_ERROR;
    }
    const BthDevice& d = e->devices[e->next];
    size_t offCs = Align(sizeof(WSAQUERYSETW));
    size_t offLocal = Align(offCs + sizeof(CSADDR_INFO));
    size_t offRemote = Align(offLocal + sizeof(SOCKADDR_BTH));
    size_t offGuid = Align(offRemote + sizeof(SOCKADDR_BTH));
    size_t offName = Align(offGuid + sizeof(GUID));
    size_t need = offName + (d.name.size() + 1) * sizeof(wchar_t);
    if (!length || !results || *length < need) {
        if (length) *length = static_cast<DWORD>(need);
        g_real.WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    char* base = reinterpret_cast<char*>(results);
    std::memset(base, 0, need);
    results->dwSize = sizeof(WSAQUERYSETW);
    results->dwNameSpace = NS_BTH;
    if (!d.lookupWithoutName) {
        std::memcpy(base + offName, d.name.c_str(), (d.name.size() + 1) * sizeof(wchar_t));
        results->lpszServiceInstanceName = reinterpret_cast<LPWSTR>(base + offName);
    }
    if (!d.lookupWithoutClass) {
        GUID* g = reinterpret_cast<GUID*>(base + offGuid);
        g->Data1 = d.classOfDevice;
        results->lpServiceClassId = g;
    }
    if (!d.lookupWithoutAddress) {
        auto* local = reinterpret_cast<SOCKADDR_BTH*>(base + offLocal);
        auto* remote = reinterpret_cast<SOCKADDR_BTH*>(base + offRemote);
        local->addressFamily = AF_BTH;
        local->btAddr = e->radioOf[e->next];
        remote->addressFamily = AF_BTH;
        remote->btAddr = d.address;
        auto* cs = reinterpret_cast<CSADDR_INFO*>(base + offCs);
        cs->LocalAddr.lpSockaddr = reinterpret_cast<LPSOCKADDR>(local);
        cs->LocalAddr.iSockaddrLength = sizeof(SOCKADDR_BTH);
        cs->RemoteAddr.lpSockaddr =
            d.lookupWithoutSockaddr ? nullptr : reinterpret_cast<LPSOCKADDR>(remote);
        cs->RemoteAddr.iSockaddrLength = sizeof(SOCKADDR_BTH);
        cs->iSocketType = SOCK_STREAM;
        cs->iProtocol = BTHPROTO_RFCOMM;
        results->lpcsaBuffer = cs;
        results->dwNumberOfCsAddrs = 1;
    }
    ++e->next;
    return 0;
}

INT WINAPI SimLookupServiceEnd(HANDLE hLookup) {
    Lock lock(g_mutex);
    if (!Find(hLookup, Kind::kLookup)) {
        if (g_state->released.count(hLookup)) {
            ++g_state->doubleReleases;
            g_real.WSASetLastError(WSA_INVALID_HANDLE);
            return SOCKET_ERROR;
        }
        lock.unlock();
        return g_real.WSALookupServiceEnd(hLookup);
    }
    Release(hLookup, Kind::kLookup);
    return 0;
}

// ---- RFCOMM sockets

RfcommSocket* SocketOf(SOCKET s) {
    auto it = g_state->sockets.find(s);
    return it == g_state->sockets.end() ? nullptr : &it->second;
}

bool IsRadio(BTH_ADDR address) {
    for (const Radio& r : g_state->radios) {
        if (r.address == address) return true;
    }
    return false;
}

SOCKET WINAPI SimSocket(int af, int type, int protocol) {
    if (af != AF_BTH) return g_real.socket(af, type, protocol);
    if (type != SOCK_STREAM || protocol != BTHPROTO_RFCOMM) {
        g_real.WSASetLastError(WSAEPROTONOSUPPORT);
        return INVALID_SOCKET;
    }
    SOCKET s = g_real.socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return s;
    Lock lock(g_mutex);
    g_state->sockets[s] = RfcommSocket();
    return s;
}

sockaddr_in Loopback(USHORT port) {
    sockaddr_in in;
    std::memset(&in, 0, sizeof in);
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = g_real.htonl(INADDR_LOOPBACK);
    in.sin_port = port;
    return in;
}

int WINAPI SimBind(SOCKET s, const sockaddr* name, int length) {
    Lock lock(g_mutex);
    RfcommSocket* rs = SocketOf(s);
    if (!rs) {
        lock.unlock();
        return g_real.bind(s, name, length);
    }
    if (!name || length < static_cast<int>(sizeof(SOCKADDR_BTH))) {
        g_real.WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    SOCKADDR_BTH sa;
    std::memcpy(&sa, name, sizeof sa);
    if (sa.addressFamily != AF_BTH) {
        g_real.WSASetLastError(WSAEAFNOSUPPORT);
        return SOCKET_ERROR;
    }
    if (rs->bound) {
        g_real.WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (sa.btAddr == 0 && !g_state->radios.empty()) sa.btAddr = g_state->radios[0].address;
    if (!IsRadio(sa.btAddr)) {
        g_real.WSASetLastError(WSAEADDRNOTAVAIL);
        return SOCKET_ERROR;
    }
    if (sa.port == 0 || sa.port == BT_PORT_ANY) {
        ULONG channel = 1;
        while (g_state->listeners.count({sa.btAddr, channel})) ++channel;
        sa.port = channel;
    }
    for (const auto& other : g_state->sockets) {
        if (other.second.bound && other.second.local.btAddr == sa.btAddr &&
            other.second.local.port == sa.port && !other.second.connected) {
            g_real.WSASetLastError(WSAEADDRINUSE);
            return SOCKET_ERROR;
        }
    }
    sockaddr_in in = Loopback(0);
    if (g_real.bind(s, reinterpret_cast<sockaddr*>(&in), sizeof in) == SOCKET_ERROR) {
        return SOCKET_ERROR;
    }
    std::memset(&sa.serviceClassId, 0, sizeof sa.serviceClassId);
    rs->bound = true;
    rs->local = sa;
    return 0;
}

int WINAPI SimListen(SOCKET s, int backlog) {
    Lock lock(g_mutex);
    RfcommSocket* rs = SocketOf(s);
    if (!rs) {
        lock.unlock();
        return g_real.listen(s, backlog);
    }
    if (!rs->bound) {
        g_real.WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (g_real.listen(s, backlog) == SOCKET_ERROR) return SOCKET_ERROR;
    g_state->listeners[{rs->local.btAddr, rs->local.port}] = s;
    return 0;
}

USHORT LocalPort(SOCKET s) {
    sockaddr_in in;
    int length = sizeof in;
    std::memset(&in, 0, sizeof in);
    if (g_real.getsockname(s, reinterpret_cast<sockaddr*>(&in), &length) == SOCKET_ERROR) return 0;
    return in.sin_port;
}

SOCKADDR_BTH g_lastConnect;

int WINAPI SimConnect(SOCKET s, const sockaddr* name, int length) {
    Lock lock(g_mutex);
    RfcommSocket* rs = SocketOf(s);
    if (!rs) {
        lock.unlock();
        return g_real.connect(s, name, length);
    }
    if (!name || length < static_cast<int>(sizeof(SOCKADDR_BTH))) {
        g_real.WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    SOCKADDR_BTH sa;
    std::memcpy(&sa, name, sizeof sa);
    g_lastConnect = sa;
    auto it = g_state->listeners.find({sa.btAddr, sa.port});
    if (sa.addressFamily != AF_BTH || it == g_state->listeners.end()) {
        g_real.WSASetLastError(WSAECONNREFUSED);
        return SOCKET_ERROR;
    }
    sockaddr_in in = Loopback(LocalPort(it->second));
    lock.unlock();
    // A socket that does not block is connecting from now on, as on Windows.
    bool bInProgress = false;
    if (g_real.connect(s, reinterpret_cast<sockaddr*>(&in), sizeof in) == SOCKET_ERROR) {
        if (g_real.WSAGetLastError() != WSAEWOULDBLOCK) return SOCKET_ERROR;
        bInProgress = true;
    }
    lock.lock();
    rs = SocketOf(s);
    if (!rs) return 0;
    SOCKADDR_BTH local;
    std::memset(&local, 0, sizeof local);
    local.addressFamily = AF_BTH;
    local.btAddr = g_state->radios.empty() ? 0 : g_state->radios[0].address;
    rs->connected = true;
    rs->local = local;
    rs->peer = sa;
    std::memset(&rs->peer.serviceClassId, 0, sizeof rs->peer.serviceClassId);
    g_state->clientEnds[LocalPort(s)] = local;
    if (bInProgress) {
        g_real.WSASetLastError(WSAEWOULDBLOCK);
        return SOCKET_ERROR;
    }
    return 0;
}

SOCKET WINAPI SimAccept(SOCKET s, sockaddr* addr, int* length) {
    SOCKADDR_BTH listenerEnd;
    {
        Lock lock(g_mutex);
        RfcommSocket* rs = SocketOf(s);
        if (!rs) {
            lock.unlock();
            return g_real.accept(s, addr, length);
        }
        if (addr && (!length || *length < static_cast<int>(sizeof(SOCKADDR_BTH)))) {
            g_real.WSASetLastError(WSAEFAULT);
            return INVALID_SOCKET;
        }
        listenerEnd = rs->local;
    }
    SOCKET n = g_real.accept(s, nullptr, nullptr);
    if (n == INVALID_SOCKET) return n;
    sockaddr_in peer;
    int peerLength = sizeof peer;
    std::memset(&peer, 0, sizeof peer);
    g_real.getpeername(n, reinterpret_cast<sockaddr*>(&peer), &peerLength);
    Lock lock(g_mutex);
    RfcommSocket accepted;
    accepted.bound = true;
    accepted.connected = true;
    accepted.local = listenerEnd;
    auto it = g_state->clientEnds.find(peer.sin_port);
    if (it != g_state->clientEnds.end()) accepted.peer = it->second;
    accepted.peer.addressFamily = AF_BTH;
    g_state->sockets[n] = accepted;
    if (addr) {
        std::memcpy(addr, &accepted.peer, sizeof accepted.peer);
        *length = sizeof accepted.peer;
    }
    return n;
}

int AnswerName(SOCKET s, sockaddr* name, int* length, bool peer) {
    Lock lock(g_mutex);
    RfcommSocket* rs = SocketOf(s);
    if (!rs) {
        lock.unlock();
        return peer ? g_real.getpeername(s, name, length) : g_real.getsockname(s, name, length);
    }
    if (!name || !length || *length < static_cast<int>(sizeof(SOCKADDR_BTH))) {
        g_real.WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    if (peer) {
        sockaddr_in in;
        int inLength = sizeof in;
        if (!rs->connected ||
            g_real.getpeername(s, reinterpret_cast<sockaddr*>(&in), &inLength) == SOCKET_ERROR) {
            g_real.WSASetLastError(WSAENOTCONN);
            return SOCKET_ERROR;
        }
    } else if (!rs->bound && !rs->connected) {
        g_real.WSASetLastError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    const SOCKADDR_BTH& sa = peer ? rs->peer : rs->local;
    std::memcpy(name, &sa, sizeof sa);
    *length = sizeof sa;
    return 0;
}

int WINAPI SimGetPeerName(SOCKET s, sockaddr* name, int* length) {
    return AnswerName(s, name, length, true);
}

int WINAPI SimGetSockName(SOCKET s, sockaddr* name, int* length) {
    return AnswerName(s, name, length, false);
}

int WINAPI SimCloseSocket(SOCKET s) {
    {
        Lock lock(g_mutex);
        if (SocketOf(s)) {
            g_state->sockets.erase(s);
            for (auto it = g_state->listeners.begin(); it != g_state->listeners.end();) {
                it = it->second == s ? g_state->listeners.erase(it) : std::next(it);
            }
        }
    }
    return g_real.closesocket(s);
}

template <class F>
auto Locked(F&& f) {
    Lock lock(g_mutex);
    return f(*g_state);
}

}  // namespace

std::wstring BthText(BTH_ADDR address) {
    wchar_t text[32];
    swprintf(text, 32, L"(%02X:%02X:%02X:%02X:%02X:%02X)", unsigned((address >> 40) & 0xFF),
             unsigned((address >> 32) & 0xFF), unsigned((address >> 24) & 0xFF),
             unsigned((address >> 16) & 0xFF), unsigned((address >> 8) & 0xFF),
             unsigned(address & 0xFF));
    return text;
}

BluetoothStack::BluetoothStack() {
    Lock lock(g_mutex);
#define QV_SIM_SAVE(name) g_real.name = os::name;
    QV_OS_ALL(QV_SIM_SAVE)
#undef QV_SIM_SAVE
    g_state = new State;
    std::memset(&g_lastConnect, 0, sizeof g_lastConnect);
    os::BluetoothFindFirstRadio = &SimFindFirstRadio;
    os::BluetoothFindNextRadio = &SimFindNextRadio;
    os::BluetoothFindRadioClose = &SimFindRadioClose;
    os::BluetoothGetRadioInfo = &SimGetRadioInfo;
    os::CloseHandle = &SimCloseHandle;
    os::DuplicateHandle = &SimDuplicateHandle;
    os::BluetoothEnableDiscovery = &SimEnableDiscovery;
    os::BluetoothEnableIncomingConnections = &SimEnableIncomingConnections;
    os::BluetoothFindFirstDevice = &SimFindFirstDevice;
    os::BluetoothFindNextDevice = &SimFindNextDevice;
    os::BluetoothFindDeviceClose = &SimFindDeviceClose;
    os::BluetoothRemoveDevice = &SimRemoveDevice;
    os::BluetoothAuthenticateDevice = &SimAuthenticateDevice;
    os::BluetoothEnumerateInstalledServices = &SimEnumerateInstalledServices;
    os::BluetoothSetServiceState = &SimSetServiceState;
    os::BluetoothRegisterForAuthentication = &SimRegisterForAuthentication;
    os::BluetoothUnregisterAuthentication = &SimUnregisterAuthentication;
    os::BluetoothSendAuthenticationResponse = &SimSendAuthenticationResponse;
    os::WSAStringToAddressW = &SimStringToAddressW;
    os::WSAAddressToStringW = &SimAddressToStringW;
    os::WSALookupServiceBeginW = &SimLookupServiceBeginW;
    os::WSALookupServiceNextW = &SimLookupServiceNextW;
    os::WSALookupServiceEnd = &SimLookupServiceEnd;
    os::socket = &SimSocket;
    os::bind = &SimBind;
    os::listen = &SimListen;
    os::connect = &SimConnect;
    os::accept = &SimAccept;
    os::getpeername = &SimGetPeerName;
    os::getsockname = &SimGetSockName;
    os::closesocket = &SimCloseSocket;
}

BluetoothStack::~BluetoothStack() {
    Lock lock(g_mutex);
#define QV_SIM_RESTORE(name) os::name = g_real.name;
    QV_OS_ALL(QV_SIM_RESTORE)
#undef QV_SIM_RESTORE
    for (auto& entry : g_state->handles) g_real.CloseHandle(entry.first);
    delete g_state;
    g_state = nullptr;
}

int BluetoothStack::AddRadio(BTH_ADDR address, const std::wstring& name, ULONG classOfDevice) {
    return Locked([&](State& s) {
        Radio r;
        r.address = address;
        r.name = name;
        r.classOfDevice = classOfDevice;
        s.radios.push_back(r);
        return static_cast<int>(s.radios.size() - 1);
    });
}

void BluetoothStack::AddDevice(int radio, const BthDevice& device) {
    Locked([&](State& s) {
        s.radios.at(radio).devices.push_back(device);
        return 0;
    });
}

void BluetoothStack::SetInquiryTime(DWORD ms) {
    Locked([&](State& s) { return s.inquiryMs = ms; });
}

void BluetoothStack::SetRegisterResult(DWORD result) {
    Locked([&](State& s) { return s.registerResult = result; });
}

int BluetoothStack::OpenHandles() const {
    return Locked([](State& s) { return static_cast<int>(s.handles.size()); });
}

int BluetoothStack::OpenRadioHandles() const {
    return Locked([](State& s) {
        return static_cast<int>(std::count_if(s.handles.begin(), s.handles.end(), [](auto& e) {
            return e.second.kind == Kind::kRadio;
        }));
    });
}

int BluetoothStack::DoubleReleases() const {
    return Locked([](State& s) { return s.doubleReleases; });
}

int BluetoothStack::ClosedUnderCalls() const {
    return Locked([](State& s) { return s.closedUnderCalls; });
}

bool BluetoothStack::Discoverable(int radio) const {
    return Locked([&](State& s) { return s.radios.at(radio).discoverable; });
}

bool BluetoothStack::Connectable(int radio) const {
    return Locked([&](State& s) { return s.radios.at(radio).connectable; });
}

std::vector<BLUETOOTH_DEVICE_SEARCH_PARAMS> BluetoothStack::Searches() const {
    return Locked([](State& s) { return s.searches; });
}

std::vector<DWORD> BluetoothStack::RadioParamSizes() const {
    return Locked([](State& s) { return s.radioParamSizes; });
}

void BluetoothStack::ClearLogs() {
    Locked([](State& s) {
        std::vector<BLUETOOTH_DEVICE_SEARCH_PARAMS>().swap(s.searches);
        std::vector<DWORD>().swap(s.radioParamSizes);
        std::vector<HANDLE>().swap(s.unregistered);
        return 0;
    });
}

int BluetoothStack::Removals() const {
    return Locked([](State& s) { return s.removals; });
}

bool BluetoothStack::Remembered(BTH_ADDR device) const {
    return Locked([&](State&) {
        BthDevice* d = AnyDevice(device);
        return d && d->remembered;
    });
}

bool BluetoothStack::Paired(BTH_ADDR device) const {
    return Locked([&](State&) {
        BthDevice* d = AnyDevice(device);
        return d && d->paired;
    });
}

int BluetoothStack::AuthenticateCalls() const {
    return Locked([](State& s) { return s.authCallsTotal; });
}

int BluetoothStack::AuthenticateCalls(BTH_ADDR device) const {
    return Locked([&](State& s) {
        auto it = s.authCalls.find(device);
        return it == s.authCalls.end() ? 0 : it->second;
    });
}

std::wstring BluetoothStack::LastPasskey() const {
    return Locked([](State& s) { return s.lastPasskey; });
}

ULONG BluetoothStack::LastPasskeyLength() const {
    return Locked([](State& s) { return s.lastPasskeyLength; });
}

HANDLE BluetoothStack::LastAuthenticateRadio() const {
    return Locked([](State& s) { return s.lastAuthRadio; });
}

std::vector<GUID> BluetoothStack::Services(BTH_ADDR device) const {
    return Locked([&](State&) {
        BthDevice* d = AnyDevice(device);
        return d ? d->services : std::vector<GUID>();
    });
}

int BluetoothStack::ServiceStateCalls() const {
    return Locked([](State& s) { return s.serviceStateCalls; });
}

DWORD BluetoothStack::LastServiceFlags() const {
    return Locked([](State& s) { return s.lastServiceFlags; });
}

int BluetoothStack::Registrations() const {
    return Locked([](State& s) {
        return static_cast<int>(std::count_if(s.handles.begin(), s.handles.end(), [](auto& e) {
            return e.second.kind == Kind::kRegistration;
        }));
    });
}

int BluetoothStack::UnregisterCalls() const {
    return Locked([](State& s) { return s.unregisterCalls; });
}

std::vector<HANDLE> BluetoothStack::UnregisteredHandles() const {
    return Locked([](State& s) { return s.unregistered; });
}

std::wstring BluetoothStack::LastResponsePasskey() const {
    return Locked([](State& s) { return s.lastResponsePasskey; });
}

HANDLE BluetoothStack::LastResponseRadio() const {
    return Locked([](State& s) { return s.lastResponseRadio; });
}

int BluetoothStack::LookupNextCalls() const {
    return Locked([](State& s) { return s.lookupNextCalls; });
}

DWORD BluetoothStack::LookupBeginFlags() const {
    return Locked([](State& s) { return s.lookupBeginFlags; });
}

DWORD BluetoothStack::LookupNextFlags() const {
    return Locked([](State& s) { return s.lookupNextFlags; });
}

BluetoothStack::Request BluetoothStack::RequestAuthentication(BTH_ADDR device) {
    Request request;
    std::thread stackThread([&] {
        Registration registration{};
        BLUETOOTH_DEVICE_INFO record;
        {
            Lock lock(g_mutex);
            const Entry* found = nullptr;
            for (const auto& e : g_state->handles) {
                if (e.second.kind == Kind::kRegistration &&
                    (e.second.registration.address == device ||
                     e.second.registration.address == 0)) {
                    found = &e.second;
                    break;
                }
            }
            BthDevice* d = AnyDevice(device);
            if (!found || !d) return;
            registration = found->registration;
            FillDeviceInfo(*d, &record);
            ++g_state->callbacksUnderWay;
        }
        request.called = true;
        request.thread = GetCurrentThreadId();
        request.result = registration.callback(registration.param, &record);
        request.record = record;
        Lock lock(g_mutex);
        --g_state->callbacksUnderWay;
        g_callbackDone.notify_all();
    });
    stackThread.join();
    return request;
}

int BluetoothStack::Listeners() const {
    return Locked([](State& s) { return static_cast<int>(s.listeners.size()); });
}

int BluetoothStack::RfcommSockets() const {
    return Locked([](State& s) { return static_cast<int>(s.sockets.size()); });
}

SOCKADDR_BTH BluetoothStack::LastConnectAddress() const {
    return Locked([](State&) { return g_lastConnect; });
}

}  // namespace qvsim
