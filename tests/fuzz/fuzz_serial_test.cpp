// The serial port's path: Open reads it, GetDevPath writes it back.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "quorvel/quorvel.h"
#include "tests/fuzz/fuzz.h"
#include "tests/support/os_hook.h"

namespace os = quorvel::os;

TEST(Fuzz, SerialOpenPathAndDevPath) {
    const size_t kCapacity = 260;
    qvfuzz::GuardedBlock input(2048);
    qvfuzz::GuardedBlock output(kCapacity * sizeof(wchar_t));
    qvfuzz::TextGenerator gen({L"COM1", L"\\\\.\\COM12", L"COM256", L"\\\\.\\CNCA0",
                               L"\\\\?\\ACPI#PNP0501#1#{86e0d1e0-8089-11d0-9ce4-08003e301f73}"},
                              0x5E71A1);
    // The port itself is not the point: most opens fail as for a missing
    // port, and one in 64 "opens" an event, which is enough for the path.
    const wchar_t* given = nullptr;
    std::wstring givenText;
    bool succeed = false;
    qvtest::Hook<os::CreateFileW> createFile(
        [&](LPCWSTR path, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) -> HANDLE {
            given = path;
            givenText = path;
            if (succeed) return CreateEventW(nullptr, TRUE, FALSE, nullptr);
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        });
    CxSerial serial;
    SetLastError(0);
    EXPECT_EQ(0, serial.Open(nullptr, 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    long iterations = qvfuzz::Iterations();
    long opened = 0, refused = 0;
    for (long i = 0; i < iterations; ++i) {
        std::wstring text = gen.Next();
        // Without a terminator only in a buffer of at least the capacity:
        // the library reads no further than that.
        bool terminated = text.size() < kCapacity || gen.Below(4) != 0;
        const wchar_t* path = input.Place(text, terminated);
        size_t length = 0;  // as far as the library may look
        while (length < kCapacity && path[length]) ++length;
        given = nullptr;
        succeed = gen.Below(64) == 0;
        SetLastError(0);
        int result = serial.Open(path, 1);
        if (length >= kCapacity) {
            ++refused;
            ASSERT_EQ(0, result) << "input " << i;
            ASSERT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), GetLastError()) << "input " << i;
            ASSERT_EQ(nullptr, given) << "input " << i;
            continue;
        }
        // A port's name goes to the system as "\\.\COM12", anything else as it is.
        std::wstring text0(path, length);
        bool name = length > 3 && _wcsnicmp(path, L"COM", 3) == 0 &&
                    text0.find_first_not_of(L"0123456789", 3) == std::wstring::npos;
        if (name) {
            ASSERT_EQ(L"\\\\.\\" + text0, givenText) << "input " << i;
        } else {
            ASSERT_EQ(path, given) << "input " << i;  // passed on unchanged
        }
        ASSERT_EQ(succeed ? 1 : 0, result) << "input " << i;
        if (!result) continue;
        ++opened;
        wchar_t* back = output.Output(kCapacity);
        serial.GetDevPath(back);
        ASSERT_EQ(0, std::wmemcmp(back, path, length + 1)) << "input " << i;
        serial.Close();
    }
    std::printf("ROW fuzz: serial port paths|%ld inputs (%ld opened, %ld refused)|no fault\n",
                iterations, opened, refused);
}
