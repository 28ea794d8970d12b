// A host's view of the public headers: everything, and nothing else.
#include <quorvel/quorvel.h>

int main() {
    CxSerial serial;
    CxComm* pComm = &serial;
    return pComm->GetSafeHandle() == 0 && CX_EVENT_DATA_READY == 1 ? 0 : 1;
}
