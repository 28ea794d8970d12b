// Shared pieces of qvtool's commands.
#pragma once

#include <string>

namespace qvtool {

constexpr int kSuccess = 0;
constexpr int kFailure = 1;
constexpr int kUsage = 2;

std::string Narrow(const wchar_t* text);
std::wstring Widen(const char* text);
// Prints "qvtool: " and the formatted message (one %s for detail) to stderr;
// returns kFailure.
int Fail(const char* format, const std::string& detail);
// Prints the message and a hint to stderr; returns kUsage.
int Usage(const std::string& message);
// A decimal number no greater than max.
bool ParseNumber(const char* text, unsigned long max, unsigned long* out);

// qvtool serial PATH [--baud N] [--threshold N]
int Serial(int argc, char** argv);
const char* SerialHelp();
void SummarySerial();

}  // namespace qvtool
