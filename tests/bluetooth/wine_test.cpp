// Wine has no Bluetooth: with the system's own operations (no simulated
// stack) the one-call search ends at the radio search with one trace line,
// and a search on "every radio" fails without aborting.
#include <gtest/gtest.h>

#include "quorvel/quorvel.h"
#include "tests/support/trace_capture.h"

TEST(BluetoothWithoutRadio, SearchesFailCleanlyAndTheOneCallSearchSaysSo) {
    ASSERT_EQ(1, SocketInit());
    EXPECT_EQ(0, CxBthRadio().FindRemoteDevice(0));
    qvtest::TraceCapture trace;
    wchar_t radioText[48], deviceText[48];
    unsigned char status = 0;
    EXPECT_EQ(0, BthFindDevice(L"phone", radioText, deviceText, 0xFF, 1, &status));
    EXPECT_EQ(0x41, status);
    ASSERT_EQ(1u, trace.Lines().size());
    EXPECT_EQ("FindRadio : 0.\n", trace.Lines()[0]);
    SocketUnInit();
}
