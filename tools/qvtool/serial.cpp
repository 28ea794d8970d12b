#include "tools/qvtool/commands.h"

namespace qvtool {

const char* SerialHelp() { return ""; }
void SummarySerial() {}
int Serial(int, char**) { return Usage("unknown command 'serial'"); }

}  // namespace qvtool
