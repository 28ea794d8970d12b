#include "platform/os.h"

namespace quorvel::os {

#define QV_OS_DEFINE(name) decltype(&::name) name = &::name;
QV_OS_ALL(QV_OS_DEFINE)
#undef QV_OS_DEFINE

}  // namespace quorvel::os
