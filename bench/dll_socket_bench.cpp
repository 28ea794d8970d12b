// Socket figures through quorvel.dll, built the same way in both flavours
// (MinGW and Visual C++ ABI) so that scripts/bench.sh shows them side by
// side. No C++ standard library: the Visual C++ flavour has none.
//  - TCP throughput through CxClientSocket::Send/Recv over loopback;
//  - the time from the peer's send to the listener's callback (median and
//    99th percentile).
// Run: wine bench_dll_socket.exe [megabytes] [rounds]
#include <quorvel/quorvel.h>

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
        double best = 1e9;
        for (int turn = 0; turn < 4; ++turn) {
            double seconds = Transfer(pair, pData, pIn, ulTotal);
            if (seconds < best) best = seconds;
        }
        free(pData);
        free(pIn);
        double mb = ulTotal / 1048576.0;
        printf("ROW sockets via quorvel.dll (%s flavour): TCP throughput, Send/Recv|%.0f MB/s|"
               "as the other flavour\n", QV_FLAVOUR_NAME, mb / best);
    }
    {
        Pair pair;
        if (!pair.Open(1)) return 1;
        Probe probe;
        probe.pClient = &pair.client;
        probe.hCalled = CreateEventW(NULL, FALSE, FALSE, NULL);
        probe.at = 0;
        pair.client.SetWndMsgProc(NULL, 0, &OnData, &probe);
        Sleep(100);
        double* pMicros = static_cast<double*>(malloc(sizeof(double) * rounds));
        if (!pMicros) return 1;
        unsigned char byte = 1;
        for (int i = 0; i < rounds; ++i) {
            double start = Now();
            pair.peer.Send(&byte, 1, 0);
            if (WaitForSingleObject(probe.hCalled, 5000) != WAIT_OBJECT_0) {
                fprintf(stderr, "no callback within 5 s in round %d\n", i);
                return 1;
            }
            pMicros[i] = (probe.at - start) * 1e6;
        }
        qsort(pMicros, rounds, sizeof(double), &CompareDoubles);
        printf("ROW sockets via quorvel.dll (%s flavour): listener latency, median / p99|"
               "%.1f us / %.1f us|under 1 ms\n", QV_FLAVOUR_NAME, pMicros[rounds / 2],
               pMicros[rounds * 99 / 100]);
        free(pMicros);
        pair.client.SetWndMsgProc(NULL, 0, NULL, NULL);
        CloseHandle(probe.hCalled);
    }
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
