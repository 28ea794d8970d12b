// Makes one chosen platform call fail.
//
// While an Injector lives, every operation of the platform layer that can
// fail is wrapped: the wrapper counts the call (on any thread) and passes it
// to whatever was installed before (the system's operation, or a simulated
// device's). The call whose number equals the chosen index fails instead,
// with the value and last error that the operation gives when it really fails
// (see the rules in fault_injector.cpp). Operations that release something
// (CloseHandle, RegCloseKey, ...) and CancelIoEx do their work and then report
// the failure, so an injected failure never leaks by itself. closesocket is
// the exception: it fails as a lingering close does (WSAEWOULDBLOCK), keeping
// the socket, which the endpoints then keep for the host to close again.
//
// Operations that cannot fail in a way a caller must handle (GetLastError,
// Sleep, lstrlenW, htons, wsprintfW, ...) are not wrapped and not counted.
// Install the Injector after any simulated device, so it wraps the device.
#pragma once

#include <string>
#include <vector>

namespace qvfault {

class Injector {
public:
    // failAt: the number (from 1) of the call to fail; 0 fails none.
    explicit Injector(long failAt);
    ~Injector();
    Injector(const Injector&) = delete;
    Injector& operator=(const Injector&) = delete;

    long Calls() const;                  // calls counted so far
    bool Injected() const;               // the chosen call has come and failed
    const char* InjectedName() const;    // its operation, or "" before
    // Operations called that have no failure rule yet (passed through).
    static std::vector<std::string> UnruledCalls();
};

// The operation and index of the call failing right now, for crash reports.
const char* CurrentInjectedName();

}  // namespace qvfault
