// The opt-in serial events through quorvel.dll.
#include <gtest/gtest.h>

#include "quorvel/quorvel.h"

TEST(DllSerialExtras, RequestsNeedAnOpenPort) {
    CxSerial serial;
    unsigned long flags = 0, discarded = 0;
    EXPECT_EQ(0, serial.SetLineErrorEvent(1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(0, serial.GetLineError(&flags, &discarded));
    EXPECT_EQ(0, serial.SetRemovalEvent(1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_NE(CX_EVENT_LINE_ERROR, CX_EVENT_DEVICE_REMOVED);
}
