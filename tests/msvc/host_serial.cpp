// A serial port that is not there, from a Visual C++ host: Open fails with
// the system's error, and the object behaves as a closed port.
#include "host.h"

int HostMain() {
    CxSerial port;
    CHECK(port.Open(L"\\\\.\\COM219", 1) == 0);
    DWORD dwError = GetLastError();
    CHECK(dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND);
    CHECK(port.GetSafeHandle() == NULL);
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    CHECK(port.GetSettings(&dcb) == 0);
    unsigned char data[4] = {1, 2, 3, 4};
    CHECK(port.Send(data, sizeof data, 100) == 0);
    CHECK(port.Recv(data, sizeof data, 100) == 0);
    unsigned long ulIn = 1, ulOut = 1;
    CHECK(port.GetBufferCount(&ulIn, &ulOut) == 0);
    CHECK(port.SetLineErrorEvent(1) == 0);
    CHECK(GetLastError() == ERROR_INVALID_HANDLE);
    CHECK(port.SetDtr(1) == 0 && port.SendBreak(10) == 0 && port.SetModemEvent(1) == 0);
    CHECK(GetLastError() == ERROR_INVALID_HANDLE);
    CHECK(port.Close() == 0);

    // Refusals the library makes itself.
    CHECK(port.Open(NULL, 1) == 0);
    CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
    wchar_t szLong[300];
    for (int i = 0; i < 299; ++i) szLong[i] = L'x';
    szLong[299] = L'\0';
    CHECK(port.Open(szLong, 1) == 0);
    CHECK(GetLastError() == ERROR_FILENAME_EXCED_RANGE);
    port.SetRThreshold(9);
    CHECK(port.GetRThreshold() == 9);
    return 0;
}
