// What the Bluetooth suites share: addresses, a device maker and a fixture
// with the simulated stack that checks nothing was released twice.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "quorvel/quorvel.h"
#include "sim/sim_bluetooth.h"

using qvsim::BthDevice;

constexpr BTH_ADDR kRadioA = 0x001122334455ull;
constexpr BTH_ADDR kRadioB = 0x00AABBCCDDEEull;
constexpr BTH_ADDR kPhone = 0x0A0B0C0D0E01ull;
constexpr BTH_ADDR kHeadset = 0x0A0B0C0D0E02ull;
constexpr BTH_ADDR kPrinter = 0x0A0B0C0D0E03ull;

inline std::wstring Text(BTH_ADDR address) { return qvsim::BthText(address); }

inline BthDevice Device(BTH_ADDR address, const std::wstring& name, bool remembered, bool inRange) {
    BthDevice d;
    d.address = address;
    d.name = name;
    d.classOfDevice = 0x5A020C;
    d.remembered = d.paired = remembered;
    d.inRange = inRange;
    return d;
}

template <class T>
BTH_DEV_INFO Info(T& finder) {
    BTH_DEV_INFO info;
    std::memset(&info, 0xCC, sizeof info);
    if constexpr (std::is_same_v<T, CxBthRadio>) {
        finder.GetRemoteDeviceInfo(&info);
    } else {
        finder.GetDeviceInfo(&info);
    }
    return info;
}

inline bool IsZero(const BTH_DEV_INFO& info) {
    BTH_DEV_INFO zero;
    std::memset(&zero, 0, sizeof zero);
    return std::memcmp(&info, &zero, sizeof info) == 0;
}

class Bluetooth : public testing::Test {
protected:
    // Every handle the test's objects took is released, and once only.
    void TearDown() override {
        EXPECT_EQ(0, stack.DoubleReleases());
        EXPECT_EQ(0, stack.OpenHandles());
    }
    void TwoRadios() {
        stack.AddRadio(kRadioA, L"first radio", 0x1C010C);
        stack.AddRadio(kRadioB, L"second radio", 0x2C010C);
    }
    qvsim::BluetoothStack stack;
};
