// Finds a Bluetooth device by name over every local radio in one call and
// prints the radio's and the device's address text, or why it found none.
//
//   bluetooth_search NAME [--flush]     --flush: forget remembered devices
//                                       first, so the radios inquire anew
#include <quorvel/quorvel.h>  // before <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bluetooth_search NAME [--flush]\n");
        return 2;
    }
    wchar_t name[248];
    if (!MultiByteToWideChar(CP_UTF8, 0, argv[1], -1, name, 248)) {
        std::fprintf(stderr, "bluetooth_search: name too long\n");
        return 2;
    }
    int flush = argc > 2 && std::strcmp(argv[2], "--flush") == 0;
    // Address text goes through Windows Sockets: start it first.
    if (!SocketInit()) {
        std::fprintf(stderr, "bluetooth_search: Windows Sockets cannot start\n");
        return 1;
    }
    wchar_t radio[48], device[48];
    unsigned char status = 0;
    int found = BthFindDevice(name, radio, device, 0xFF, flush, &status);  // 0xFF: the first match
    SocketUnInit();
    if (found) {
        std::printf("found %s: device %ls on radio %ls\n", argv[1], device, radio);
        return 0;
    }
    if (status == 0x41) {
        std::printf("no Bluetooth radio\n");
    } else if (status == 0x42) {
        std::printf("a radio found no device at all\n");
    } else {
        std::printf("no device named %s (error %lu)\n", argv[1], GetLastError());
    }
    return 1;
}
