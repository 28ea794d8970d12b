// qvtool's entry point; everything else is in Run (main.cpp).
#include "tools/qvtool/commands.h"

int main(int argc, char** argv) { return qvtool::Run(argc, argv); }
