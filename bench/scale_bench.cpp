// How many TCP clients with a listener each one process holds, with the
// listener's default stack reserve and with 256 KB, and how much address
// space each takes. Every setting runs in a fresh child process, so that one
// run's leftovers do not shrink the next one's room.
// Run: wine bench_scale.exe [most clients]
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

#include "quorvel/quorvel.h"

namespace {

// Bytes of the address space in use (reserved or committed).
unsigned long long AddressSpaceInUse() {
    unsigned long long used = 0;
    MEMORY_BASIC_INFORMATION info;
    const char* at = nullptr;
    while (VirtualQuery(at, &info, sizeof info) == sizeof info) {
        if (info.State != MEM_FREE) used += info.RegionSize;
        const char* next = static_cast<const char*>(info.BaseAddress) + info.RegionSize;
        if (next <= at) break;
        at = next;
    }
    return used;
}

int Child(unsigned long reserve, long most) {
    if (!SocketInit()) return 1;
    SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof addr;
    if (bind(server, reinterpret_cast<SOCKADDR*>(&addr), sizeof addr) ||
        listen(server, SOMAXCONN) || getsockname(server, reinterpret_cast<SOCKADDR*>(&addr), &length)) {
        std::fprintf(stderr, "cannot listen on loopback\n");
        return 1;
    }
    std::vector<SOCKET> accepted;
    std::thread acceptor([&] {
        for (;;) {
            SOCKET s = accept(server, nullptr, nullptr);
            if (s == INVALID_SOCKET) return;
            accepted.push_back(s);
        }
    });

    unsigned long long before = AddressSpaceInUse();
    std::vector<CxClientSocket*> clients;
    unsigned long error = 0;
    while (static_cast<long>(clients.size()) < most) {
        CxClientSocket* client = new CxClientSocket;
        client->SetListenerStackSize(reserve);
        if (!client->Connect(L"127.0.0.1", ntohs(addr.sin_port), 1)) {
            error = SocketGetLastError();
            delete client;
            break;
        }
        clients.push_back(client);
    }
    unsigned long long after = AddressSpaceInUse();
    long held = static_cast<long>(clients.size());
    double each = held ? static_cast<double>(after - before) / held / 1024.0 : 0.0;
    const char* setting = reserve ? "256 KB reserve" : "default reserve";
    std::printf("%s: %ld clients with listeners (%s), %.0f KB of address space each\n", setting,
                held, error ? "the next one failed" : "the most asked for", each);
    if (error) std::printf("  the next Connect failed with error %lu\n", error);
    std::printf("ROW sockets: TCP clients with listeners in one process, %s|%ld%s, %.0f KB each|"
                "as many as the address space holds\n",
                setting, held, error ? "" : " (limit of the run)", each);
    std::fflush(stdout);

    for (CxClientSocket* client : clients) {
        client->DisConnect();
        delete client;
    }
    closesocket(server);
    acceptor.join();
    for (SOCKET s : accepted) closesocket(s);
    SocketUnInit();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3 && std::string_view(argv[1]) == "--child") {
        return Child(std::strtoul(argv[2], nullptr, 10), std::atol(argv[3]));
    }
    long most = argc > 1 ? std::atol(argv[1]) : 3000;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    int failed = 0;
    for (unsigned long reserve : {0UL, 256UL * 1024}) {
        wchar_t command[MAX_PATH + 64];
        wsprintfW(command, L"\"%s\" --child %lu %ld", self, reserve, most);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &process)) {
            std::fprintf(stderr, "cannot start the measuring process: %lu\n", GetLastError());
            return 1;
        }
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(process.hProcess, &code);
        failed |= code != 0;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return failed;
}
