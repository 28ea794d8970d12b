// Bluetooth address text and passkeys as the library passes them on.
#include <gtest/gtest.h>

#include "quorvel/quorvel.h"
#include "tests/fuzz/fuzz.h"
#include "sim/sim_bluetooth.h"

TEST(Fuzz, BluetoothAddressTextAndPasskeys) {
    ASSERT_EQ(1, SocketInit());
    {
        qvsim::BluetoothStack stack;
        stack.AddRadio(0x001122334455ull, L"radio", 0x1C010C);
        qvsim::BthDevice phone;
        phone.address = 0x0A0B0C0D0E01ull;
        phone.name = L"Phone";
        phone.passkey = L"1234";
        stack.AddDevice(0, phone);
        qvfuzz::GuardedBlock input(4096), passkeyInput(1024);
        qvfuzz::TextGenerator addresses(
            {qvsim::BthText(0x001122334455ull), L"00:11:22:33:44:55", L"(0A:0B:0C:0D:0E:01):5",
             L"(00:11:22:33:44:55):", L"()", L"(00:11:22:33:44:55", std::wstring(47, L'(')},
            0xB7B7);
        qvfuzz::TextGenerator passkeys({L"1234", L"0123456789abcde", L"0123456789abcdef", L""},
                                       0x9A55);
        long iterations = qvfuzz::Iterations();
        long opened = 0;
        for (long i = 0; i < iterations; ++i) {
            std::wstring text = addresses.Next();
            // Unterminated only in a buffer of at least the 48 characters of
            // address text.
            bool term = text.size() < 48 || addresses.Below(2);
            const wchar_t* at = input.Place(text, term);
            // Every text goes through the parse of RemoveRemoteDevice; one in
            // 32 opens a radio (which costs a round of handles) and goes on to
            // the passkeys.
            CxBthRadio::RemoveRemoteDevice(at);
            if (i % 32) continue;
            CxBthRadio radio;
            if (radio.Open(at)) {
                ++opened;
                std::wstring key = passkeys.Next();
                bool keyTerm = key.size() < 16 || passkeys.Below(2);
                const wchar_t* pk = passkeyInput.Place(key, keyTerm);
                unsigned long length = static_cast<unsigned long>(key.size());
                radio.AuthenticateRemoteDevice(at, pk, length > 40 ? 40 : length);
                CxBthAuthenResponse response;
                if (response.RegisterForAuthentication(radio.GetSafeHandle(), pk) == 0) {
                    response.UnregisterAuthentication();
                }
                radio.Close();
            }
            if (i % 256 == 0) BthAuthenDevice(at, at, L"1234");
        }
        EXPECT_EQ(0, stack.OpenHandles());
        std::printf("ROW fuzz: Bluetooth address text and passkeys|%ld inputs (%ld of them opened a radio)|"
                    "no fault\n", iterations, opened);
    }
    SocketUnInit();
}
