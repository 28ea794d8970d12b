#include "tests/support/os_hook.h"

namespace qvtest {
namespace {

struct Saved {
#define QV_SAVE(name) decltype(quorvel::os::name) name = nullptr;
    QV_OS_ALL(QV_SAVE)
#undef QV_SAVE
};

Saved& SavedOps() {
    static Saved saved;
    return saved;
}

}  // namespace

void SnapshotPlatform() {
#define QV_SNAP(name) SavedOps().name = quorvel::os::name;
    QV_OS_ALL(QV_SNAP)
#undef QV_SNAP
}

void ResetPlatform() {
#define QV_RESET(name) quorvel::os::name = SavedOps().name;
    QV_OS_ALL(QV_RESET)
#undef QV_RESET
}

}  // namespace qvtest
