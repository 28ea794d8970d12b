#if defined(_MSC_VER)
// Declared without dllimport here, each system function's address is that of
// its import thunk, a constant for the linker: every pointer below is then
// set when the DLL is mapped, with no initialiser to run (the Visual C++
// flavour has no C runtime start-up).
#define WINBASEAPI
#define WINADVAPI
#define WINUSERAPI
#define WINSOCK_API_LINKAGE
#endif
#include "platform/os.h"

namespace quorvel::os {

#define QV_OS_DEFINE(name) decltype(&::name) name = &::name;
QV_OS_ALL(QV_OS_DEFINE)
#undef QV_OS_DEFINE

}  // namespace quorvel::os
