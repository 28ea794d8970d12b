#include <cstring>

#include "bluetooth/common.h"
#include "core/trace.h"

namespace os = quorvel::os;
namespace bth = quorvel::bth;
using quorvel::Trace;

namespace {

constexpr unsigned char kStatusNoRadio = 0x41;   // 'A'
constexpr unsigned char kStatusNoDevice = 0x42;  // 'B'
constexpr unsigned char kAnyIndex = 0xFF;

}  // namespace

int BthFindDevice(const wchar_t* szDeviceName, wchar_t* szRadioAddress, wchar_t* szDeviceAddress,
                  unsigned char nIndex, int bFlushCache, unsigned char* pStatus) {
    if (pStatus) *pStatus = 0;
    if (!szDeviceName || !szRadioAddress || !szDeviceAddress) {
        return quorvel::Fail(ERROR_INVALID_PARAMETER);
    }
    BTH_DEV_INFO info;
    std::memset(&info, 0, sizeof info);
    int nFound = 0;
    bool bUnnamed = false;
    unsigned char nMatch = 0;

    CxBthRadioFind finder;
    CxBthRadio radio;  // lent the finder's radio handles; never closes them
    int bMore = finder.FindRadio(0);
    if (!bMore && pStatus) *pStatus = kStatusNoRadio;
    Trace(L"FindRadio : %d.\n", bMore);
    while (bMore) {
        radio.Attach(finder.GetRadioHandle());
        int bDevice = radio.FindRemoteDevice(bFlushCache);
        if (!bDevice && pStatus) *pStatus = kStatusNoDevice;
        Trace(L"FindRemoteDevice : %d.\n", bDevice);
        while (bDevice) {
            radio.GetRemoteDeviceInfo(&info);
            Trace(L"GetRemoteDevice : %s, %s.\n", info.szName, info.szAddress);
            if (os::lstrcmpiW(info.szName, szDeviceName) == 0) {
                if (nIndex == nMatch || nIndex == kAnyIndex) {
                    // A device or radio whose address could not be written as
                    // text cannot be handed to the host: the search fails
                    // rather than report a device without its address.
                    BTH_DEV_INFO radioInfo;
                    finder.GetDeviceInfo(&radioInfo);
                    if (!info.szAddress[0] || !radioInfo.szAddress[0]) {
                        bUnnamed = true;
                        break;
                    }
                    nFound = 1;
                    os::lstrcpynW(szDeviceAddress, info.szAddress, bth::kAddressCapacity);
                    os::lstrcpynW(szRadioAddress, radioInfo.szAddress, bth::kAddressCapacity);
                    break;
                }
                ++nMatch;
            }
            bDevice = radio.FindNextRemoteDevice();
        }
        radio.FindRemoteDeviceClose();
        finder.CloseRadioHandle();
        if (nFound || bUnnamed) break;
        bMore = finder.FindNextRadio(0);
    }
    finder.FindRadioClose();  // keeps the error of the search's last step
    return bUnnamed ? quorvel::Fail(ERROR_INVALID_DATA) : nFound;
}
