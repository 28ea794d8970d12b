// Socket figures through quorvel.dll, built the same way in both flavours
// (MinGW and Visual C++ ABI) so that scripts/bench.sh shows them side by
// side. No C++ standard library: the Visual C++ flavour has none.
//  - TCP throughput through CxClientSocket::Send/Recv over loopback;
//  - the time from the peer's send to the listener's callback (median and
//    99th percentile);
//  - both again through the C interface (quorvel_c.h: qv_send, qv_recv and
//    a qv_set_callback callback) in the same run, turn about with the C++
//    classes, and how the two compare;
//  - 2,000 route changes (qv_set_queue) of a connection with an event
//    waiting, between two shared queues that have waitable handles: all of
//    them, and the slowest.
// Run: wine bench_dll_socket.exe [megabytes] [rounds]
#include <quorvel/quorvel.h>
#include <quorvel/quorvel_c.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "socket_pair.h"

#if defined(_MSC_VER)
#define QV_FLAVOUR_NAME "Visual C++"
#else
#define QV_FLAVOUR_NAME "MinGW"
#endif

namespace {

const unsigned long kBlock = 256 * 1024;  // bytes per Send or Recv call
LARGE_INTEGER g_frequency;

double Now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(g_frequency.QuadPart);
}

struct Reader {
    CxClientSocket* pPeer;
    unsigned char* pBuffer;
    unsigned long ulTotal;
};

DWORD WINAPI ReadAll(void* pParam) {
    Reader* pReader = static_cast<Reader*>(pParam);
    for (unsigned long done = 0; done < pReader->ulTotal; done += kBlock) {
        pReader->pPeer->Recv(pReader->pBuffer, kBlock, 0);
    }
    return 0;
}

// Seconds to move total bytes from one end to the other, block by block.
double Transfer(Pair& pair, unsigned char* pData, unsigned char* pIn, unsigned long ulTotal) {
    Reader reader = {&pair.peer, pIn, ulTotal};
    double start = Now();
    HANDLE hThread = CreateThread(NULL, 0, &ReadAll, &reader, 0, NULL);
    for (unsigned long done = 0; done < ulTotal; done += kBlock) pair.client.Send(pData, kBlock, 0);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    return Now() - start;
}

// The same through the C interface.
struct CPair {
    qv_handle server, client, peer;
    bool Open() {
        DWORD port = 0;
        return qv_tcp_listen(L"127.0.0.1", 0, &server) == 0 &&
               qv_local_address(server, NULL, 0, NULL, &port) == ERROR_INSUFFICIENT_BUFFER &&
               qv_tcp_connect(L"127.0.0.1", port, 5000, &client) == 0 &&
               qv_accept(server, 5000, &peer) == 0;
    }
    ~CPair() {
        qv_close(client);
        qv_close(peer);
        qv_close(server);
    }
};

struct CReader {
    qv_handle peer;
    unsigned char* pBuffer;
    unsigned long ulTotal;
};

DWORD WINAPI ReadAllC(void* pParam) {
    CReader* pReader = static_cast<CReader*>(pParam);
    for (unsigned long done = 0; done < pReader->ulTotal; done += kBlock) {
        qv_recv(pReader->peer, pReader->pBuffer, kBlock, INFINITE, NULL);
    }
    return 0;
}

double TransferC(CPair& pair, unsigned char* pData, unsigned char* pIn, unsigned long ulTotal) {
    CReader reader = {pair.peer, pIn, ulTotal};
    double start = Now();
    HANDLE hThread = CreateThread(NULL, 0, &ReadAllC, &reader, 0, NULL);
    for (unsigned long done = 0; done < ulTotal; done += kBlock) {
        qv_send(pair.client, pData, kBlock, INFINITE, NULL);
    }
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
    return Now() - start;
}

struct Probe {
    CxClientSocket* pClient;
    HANDLE hCalled;
    double at;
};

long CALLBACK OnData(void* pParam, unsigned int, long) {
    Probe* pProbe = static_cast<Probe*>(pParam);
    pProbe->at = Now();
    unsigned char byte;
    pProbe->pClient->Recv(&byte, 1, 0);
    SetEvent(pProbe->hCalled);
    return 0;
}

struct CProbe {
    HANDLE hCalled;
    double at;
};

void WINAPI OnDataC(void* pContext, qv_handle handle, DWORD, DWORD) {
    CProbe* pProbe = static_cast<CProbe*>(pContext);
    pProbe->at = Now();
    unsigned char byte;
    qv_recv(handle, &byte, 1, INFINITE, NULL);
    SetEvent(pProbe->hCalled);
}

// 2,000 route changes of a connection with an event waiting, between two
// shared queues that have waitable handles.
void RouteChanges() {
    const int kChanges = 2000;
    CPair cpair;
    qv_handle queues[2] = {NULL, NULL};
    HANDLE hWaitable = NULL;
    if (!cpair.Open() || qv_queue_open(&queues[0]) || qv_queue_open(&queues[1]) ||
        qv_event_handle(queues[1], &hWaitable) || qv_event_handle(queues[0], &hWaitable) ||
        qv_set_queue(cpair.client, queues[0]) || qv_send(cpair.peer, "x", 1, INFINITE, NULL) ||
        WaitForSingleObject(hWaitable, 5000) != WAIT_OBJECT_0) {
        fprintf(stderr, "cannot set up the route changes\n");
        return;
    }
    double slowest = 0, start = Now();
    for (int i = 0; i < kChanges; ++i) {
        double at = Now();
        DWORD dwStatus = qv_set_queue(cpair.client, queues[(i + 1) & 1]);
        if (dwStatus) {
            fprintf(stderr, "qv_set_queue failed: %lu\n", dwStatus);
            break;
        }
        if (Now() - at > slowest) slowest = Now() - at;
    }
    double total = Now() - start;
    qv_close(queues[0]);
    qv_close(queues[1]);
    printf("ROW C interface (%s flavour): 2,000 route changes with waitable shared queues, all / "
           "slowest|%.0f ms / %.2f ms|under 0.2 s\n", QV_FLAVOUR_NAME, total * 1e3, slowest * 1e3);
}

int CompareDoubles(const void* a, const void* b) {
    double x = *static_cast<const double*>(a), y = *static_cast<const double*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
}

int BenchMain(unsigned long megabytes, int rounds) {
    QueryPerformanceFrequency(&g_frequency);
    if (megabytes < 4) megabytes = 4;
    if (rounds < 10) rounds = 10;
    if (!SocketInit()) {
        fprintf(stderr, "cannot start Windows Sockets\n");
        return 1;
    }
    {
        Pair pair;
        if (!pair.Open(0)) {
            fprintf(stderr, "cannot open a loopback connection\n");
            return 1;
        }
        unsigned long ulTotal = megabytes * 1024 * 1024 / kBlock * kBlock;
        unsigned char* pData = static_cast<unsigned char*>(malloc(kBlock));
        unsigned char* pIn = static_cast<unsigned char*>(malloc(kBlock));
        if (!pData || !pIn) return 1;
        memset(pData, 0x5A, kBlock);
        CPair cpair;
        if (!cpair.Open()) {
            fprintf(stderr, "cannot open a loopback connection through the C interface\n");
            return 1;
        }
        // Turn about, so that both meet the same state of the machine.
        double best = 1e9, bestC = 1e9;
        for (int turn = 0; turn < 6; ++turn) {
            double seconds = Transfer(pair, pData, pIn, ulTotal);
            if (seconds < best) best = seconds;
            seconds = TransferC(cpair, pData, pIn, ulTotal);
            if (seconds < bestC) bestC = seconds;
        }
        free(pData);
        free(pIn);
        double mb = ulTotal / 1048576.0;
        printf("ROW sockets via quorvel.dll (%s flavour): TCP throughput, Send/Recv|%.0f MB/s|"
               "as the other flavour\n", QV_FLAVOUR_NAME, mb / best);
        printf("ROW C interface (%s flavour): TCP throughput, qv_send/qv_recv|%.0f MB/s (%.1f%% "
               "of the C++ classes)|within 2%%\n", QV_FLAVOUR_NAME, mb / bestC, 100.0 * best / bestC);
    }
    {
        // Turn about again: one round through the C++ classes, one through
        // the C interface, both listening all along.
        Pair pair;
        CPair cpair;
        if (!pair.Open(1) || !cpair.Open()) return 1;
        Probe probe;
        probe.pClient = &pair.client;
        probe.hCalled = CreateEventW(NULL, FALSE, FALSE, NULL);
        probe.at = 0;
        pair.client.SetWndMsgProc(NULL, 0, &OnData, &probe);
        CProbe cprobe = {CreateEventW(NULL, FALSE, FALSE, NULL), 0};
        if (qv_set_callback(cpair.client, &OnDataC, &cprobe) != 0) return 1;
        Sleep(100);
        double* pMicros = static_cast<double*>(malloc(sizeof(double) * rounds));
        double* pMicrosC = static_cast<double*>(malloc(sizeof(double) * rounds));
        if (!pMicros || !pMicrosC) return 1;
        unsigned char byte = 1;
        for (int i = 0; i < rounds; ++i) {
            double start = Now();
            pair.peer.Send(&byte, 1, 0);
            if (WaitForSingleObject(probe.hCalled, 5000) != WAIT_OBJECT_0) {
                fprintf(stderr, "no callback within 5 s in round %d\n", i);
                return 1;
            }
            pMicros[i] = (probe.at - start) * 1e6;
            start = Now();
            qv_send(cpair.peer, &byte, 1, INFINITE, NULL);
            if (WaitForSingleObject(cprobe.hCalled, 5000) != WAIT_OBJECT_0) {
                fprintf(stderr, "no C callback within 5 s in round %d\n", i);
                return 1;
            }
            pMicrosC[i] = (cprobe.at - start) * 1e6;
        }
        qsort(pMicros, rounds, sizeof(double), &CompareDoubles);
        qsort(pMicrosC, rounds, sizeof(double), &CompareDoubles);
        printf("ROW sockets via quorvel.dll (%s flavour): listener latency, median / p99|"
               "%.1f us / %.1f us|under 1 ms\n", QV_FLAVOUR_NAME, pMicros[rounds / 2],
               pMicros[rounds * 99 / 100]);
        printf("ROW C interface (%s flavour): listener latency, median / p99|%.1f us / %.1f us "
               "(median %.1f%% of the C++ classes')|within 2%%\n", QV_FLAVOUR_NAME,
               pMicrosC[rounds / 2], pMicrosC[rounds * 99 / 100],
               100.0 * pMicrosC[rounds / 2] / pMicros[rounds / 2]);
        qv_set_callback(cpair.client, NULL, NULL);
        pair.client.SetWndMsgProc(NULL, 0, NULL, NULL);
        CloseHandle(probe.hCalled);
        CloseHandle(cprobe.hCalled);
        free(pMicros);
        free(pMicrosC);
    }
    RouteChanges();
    SocketUnInit();
    return 0;
}

}  // namespace

#if defined(_MSC_VER)
// The Visual C++ flavour's programs here have no C runtime start-up.
extern "C" void __cdecl BenchStart() {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    unsigned long megabytes = argc > 1 ? wcstoul(argv[1], NULL, 10) : 256;
    int rounds = argc > 2 ? _wtoi(argv[2]) : 1000;
    LocalFree(argv);
    int rc = BenchMain(megabytes, rounds);
    fflush(stdout);
    exit(rc);
}
#else
int main(int argc, char** argv) {
    return BenchMain(argc > 1 ? strtoul(argv[1], NULL, 10) : 256, argc > 2 ? atoi(argv[2]) : 1000);
}
#endif
