// The merged serial port list through quorvel.dll.
#include <gtest/gtest.h>

#include "quorvel/quorvel.h"

TEST(DllPorts, WalksToTheEndAndCopies) {
    CxSerialPortFind find;
    EXPECT_EQ(0, find.FindNextPort());  // before FindPort
    wchar_t name[QV_DEVICE_TEXT_CCH] = L"junk";
    find.GetPortName(name);
    EXPECT_STREQ(L"", name);
    int count = 0;
    for (int ok = find.FindPort(); ok && count < 1000; ok = find.FindNextPort()) {
        ++count;
        EXPECT_NE(0, find.GetSource());
    }
    EXPECT_EQ(0, find.FindNextPort());
    CxSerialPortFind copy(find);
    copy = find;
    find.Close();
    EXPECT_EQ(0, copy.FindNextPort());
}
