// A host's view of the public headers: everything, and nothing else.
#include <quorvel/quorvel.h>
#include <quorvel/quorvel_c.h>

int main() {
    CxSerial serial;
    CxComm* pComm = &serial;
    qv_handle handle = 0;
    return pComm->GetSafeHandle() == 0 && CX_EVENT_DATA_READY == 1 && !handle ? 0 : 1;
}
