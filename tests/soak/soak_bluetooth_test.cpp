// Bluetooth radios and devices through many cycles against the simulated
// stack: radio walk, inquiry, name-space lookup.
#include <gtest/gtest.h>

#include "quorvel/quorvel.h"
#include "sim/sim_bluetooth.h"
#include "tests/soak/soak.h"

TEST(Soak, BluetoothRadioWalkInquiryAndLookup) {
    ASSERT_EQ(1, SocketInit());
    {
        qvsim::BluetoothStack stack;
        stack.AddRadio(0x001122334455ull, L"first radio", 0x1C010C);
        stack.AddRadio(0x00AABBCCDDEEull, L"second radio", 0x2C010C);
        for (int i = 0; i < 3; ++i) {
            qvsim::BthDevice device;
            device.address = 0x0A0B0C0D0E01ull + i;
            device.name = L"device " + std::to_wstring(i);
            device.remembered = i == 0;
            stack.AddDevice(i % 2, device);
        }
        stack.SetInquiryTime(0);

        // The stack logs every search's parameters; each cycle clears the
        // log so that the figures are the library's own.
        qvsoak::Soak("bluetooth radio walk", [&stack](int) -> std::string {
            CxBthRadioFind find;
            int radios = 0;
            BTH_DEV_INFO info;
            for (int ok = find.FindRadio(1); ok; ok = find.FindNextRadio(1)) {
                find.GetDeviceInfo(&info);
                ++radios;
            }
            find.FindRadioClose();
            stack.ClearLogs();
            return radios == 2 ? "" : "the walk did not list both radios";
        });
        qvsoak::Soak("bluetooth radio open and inquiry", [&stack](int) -> std::string {
            CxBthRadioFind find;
            int devices = 0;
            for (int ok = find.FindRadio(0); ok; ok = find.FindNextRadio(0)) {
                CxBthRadio radio;
                radio.Attach(find.GetRadioHandle());  // lent: the finder closes it
                BTH_DEV_INFO info;
                for (int d = radio.FindRemoteDevice(1); d; d = radio.FindNextRemoteDevice()) {
                    radio.GetRemoteDeviceInfo(&info);
                    ++devices;
                }
                radio.FindRemoteDeviceClose();
                find.CloseRadioHandle();
            }
            find.FindRadioClose();
            stack.ClearLogs();
            return devices == 3 ? "" : "the inquiry did not list every device";
        });
        qvsoak::Soak("bluetooth name-space lookup", [](int) -> std::string {
            CxBthRemoteDeviceFind find;
            int devices = 0;
            BTH_DEV_INFO info;
            for (int ok = find.FindDevice(); ok; ok = find.FindNextDevice()) {
                find.GetDeviceInfo(&info);
                ++devices;
            }
            find.Close();
            return devices > 0 ? "" : "the lookup listed nothing";
        });
        EXPECT_EQ(0, stack.OpenHandles());
        EXPECT_EQ(0, stack.DoubleReleases());
    }
    SocketUnInit();
}
